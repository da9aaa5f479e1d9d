// A T2 point file in the window: traces and a lifetime tab that says there are no delays.
#include "support/WindowFixture.h"
#include "tools/synth/RecordStream.h"
#include "tools/synth/SyntheticFile.h"

#include <QDoubleSpinBox>
#include <QLabel>
#include <QTabWidget>

namespace {
class T2Window : public WindowFixture {};
} // namespace

TEST_F(T2Window, LifetimeTabSaysTheFileHasNoDelays)
{
    synth::RecordStream s(RecordFormat::HydraHarpT2v2);  // the MultiHarp layout
    for (uint64_t k = 1; k <= 2000; ++k)
        s.AddPhoton(k * 250000 + (k % 7) * 1000, 1 + k % 2, 0);
    const QString path = dir.filePath("cw.ptu");
    ASSERT_TRUE(synth::WritePtu(path, synth::PtuHeader::T2(0x00010207u), s.words));
    Make();
    ASSERT_TRUE(window->OpenFile(path, true));
    QLabel *note = W<QLabel>("NoDelays");
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->text(), "This T2 file has no delays: no lifetime histogram");
    EXPECT_TRUE(Log().filter("This T2 file has no delays (its records carry no sync)").size() == 1);
    // The first lag step goes down to the resolution, 4 ps.
    auto *dtau = W<QDoubleSpinBox>("dtau");
    ASSERT_NE(dtau, nullptr);
    dtau->setValue(0.000004);
    EXPECT_DOUBLE_EQ(dtau->value(), 0.000004);
}
