#include "scans/OmeXml.h"

#include <QXmlStreamWriter>

namespace {
// Enough digits to give a double back exactly; no exponent for ordinary sizes.
QString Number(double value) { return QString::number(value, 'g', 15); }

const char *const kOmeNamespace = "http://www.openmicroscopy.org/Schemas/OME/2016-06";
const char *const kModuloId = "Annotation:Modulo:0";
} // namespace

QString OmeXml(const OmeImage &image)
{
    QString text;
    QXmlStreamWriter xml(&text);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(1);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(QString::fromLatin1(kOmeNamespace));
    xml.writeNamespace(QStringLiteral("http://www.w3.org/2001/XMLSchema-instance"), QStringLiteral("xsi"));
    xml.writeStartElement(QString::fromLatin1(kOmeNamespace), QStringLiteral("OME"));
    xml.writeAttribute(QStringLiteral("http://www.w3.org/2001/XMLSchema-instance"), QStringLiteral("schemaLocation"),
                       QStringLiteral("%1 %1/ome.xsd").arg(QString::fromLatin1(kOmeNamespace)));
    xml.writeAttribute(QStringLiteral("Creator"), image.creator);

    xml.writeStartElement(QStringLiteral("Image"));
    xml.writeAttribute(QStringLiteral("ID"), QStringLiteral("Image:0"));
    xml.writeAttribute(QStringLiteral("Name"), image.name);
    xml.writeStartElement(QStringLiteral("Pixels"));
    xml.writeAttribute(QStringLiteral("ID"), QStringLiteral("Pixels:0"));
    xml.writeAttribute(QStringLiteral("DimensionOrder"), QStringLiteral("XYCZT"));
    xml.writeAttribute(QStringLiteral("Type"), QStringLiteral("uint16"));
    xml.writeAttribute(QStringLiteral("SignificantBits"), QStringLiteral("16"));
    xml.writeAttribute(QStringLiteral("BigEndian"), QStringLiteral("false"));
    xml.writeAttribute(QStringLiteral("Interleaved"), QStringLiteral("false"));
    xml.writeAttribute(QStringLiteral("SizeX"), QString::number(image.sizeX));
    xml.writeAttribute(QStringLiteral("SizeY"), QString::number(image.sizeY));
    xml.writeAttribute(QStringLiteral("SizeZ"), QStringLiteral("1"));
    xml.writeAttribute(QStringLiteral("SizeC"), QString::number(image.channels.size()));
    xml.writeAttribute(QStringLiteral("SizeT"), QString::number(image.sizeT));
    // Lengths in the schema's default unit, µm; time in its default, s.
    if (image.physicalSizeX > 0)
        xml.writeAttribute(QStringLiteral("PhysicalSizeX"), Number(image.physicalSizeX));
    if (image.physicalSizeY > 0)
        xml.writeAttribute(QStringLiteral("PhysicalSizeY"), Number(image.physicalSizeY));
    if (image.timeIncrement > 0)
        xml.writeAttribute(QStringLiteral("TimeIncrement"), Number(image.timeIncrement));
    for (int c = 0; c < image.channels.size(); ++c) {
        xml.writeEmptyElement(QStringLiteral("Channel"));
        xml.writeAttribute(QStringLiteral("ID"), QStringLiteral("Channel:0:%1").arg(c));
        xml.writeAttribute(QStringLiteral("Name"), image.channels[c]);
        xml.writeAttribute(QStringLiteral("SamplesPerPixel"), QStringLiteral("1"));
    }
    // Every plane, in the dimension order, one directory each from the first.
    xml.writeEmptyElement(QStringLiteral("TiffData"));
    xml.writeAttribute(QStringLiteral("IFD"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("PlaneCount"),
                       QString::number(static_cast<uint64_t>(image.sizeT) * static_cast<uint64_t>(image.channels.size())));
    xml.writeEndElement();  // Pixels
    if (image.lifetimeBins > 0) {
        xml.writeEmptyElement(QStringLiteral("AnnotationRef"));
        xml.writeAttribute(QStringLiteral("ID"), QString::fromLatin1(kModuloId));
    }
    xml.writeEndElement();  // Image

    if (image.lifetimeBins > 0) {
        // The lifetime axis as a modulo of T: readers that know the
        // annotation split T into time points and delay bins.
        xml.writeStartElement(QStringLiteral("StructuredAnnotations"));
        xml.writeStartElement(QStringLiteral("XMLAnnotation"));
        xml.writeAttribute(QStringLiteral("ID"), QString::fromLatin1(kModuloId));
        xml.writeAttribute(QStringLiteral("Namespace"), QStringLiteral("openmicroscopy.org/omero/dimension/modulo"));
        xml.writeStartElement(QStringLiteral("Value"));
        xml.writeStartElement(QStringLiteral("Modulo"));
        xml.writeAttribute(QStringLiteral("namespace"), QStringLiteral("http://www.openmicroscopy.org/Schemas/Additions/2011-09"));
        xml.writeEmptyElement(QStringLiteral("ModuloAlongT"));
        xml.writeAttribute(QStringLiteral("Type"), QStringLiteral("lifetime"));
        xml.writeAttribute(QStringLiteral("TypeDescription"), QStringLiteral("TCSPC"));
        xml.writeAttribute(QStringLiteral("Unit"), QStringLiteral("ps"));
        xml.writeAttribute(QStringLiteral("Start"), Number(image.lifetimeStart));
        xml.writeAttribute(QStringLiteral("Step"), Number(image.lifetimeStep));
        // End is the start of the last bin: (End - Start) / Step + 1 bins.
        xml.writeAttribute(QStringLiteral("End"),
                           Number(image.lifetimeStart + image.lifetimeStep * (image.lifetimeBins - 1)));
        xml.writeEndElement();  // Modulo
        xml.writeEndElement();  // Value
        xml.writeEndElement();  // XMLAnnotation
        xml.writeEndElement();  // StructuredAnnotations
    }
    xml.writeEndElement();  // OME
    xml.writeEndDocument();

    // The description tag holds ASCII: anything else as a character reference.
    QString ascii;
    ascii.reserve(text.size());
    const QVector<uint> codes = text.toUcs4();
    for (uint code : codes) {
        if (code < 0x80)
            ascii += QChar(static_cast<ushort>(code));
        else
            ascii += QStringLiteral("&#%1;").arg(code);
    }
    return ascii;
}
