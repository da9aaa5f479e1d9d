#pragma once
/*!
 * \brief Finds and loads the module through which the Photon-HDF5 export
 * calls the HDF5 library (see hdf5/Hdf5Writer.h).
 *
 * Searched for beside the running program, then in the folder it was built
 * into. FOTONEL_HDF5_MODULE_DIR in the environment names the one folder to
 * search instead. A loaded module stays loaded until the program ends.
 */
#include <QString>

struct FotonelHdf5Api;

/// File name of the module (libfotonel_hdf5.so).
QString Hdf5ModuleName();

/// The module's functions; null, with \p error naming the module and the loader's reasons, when it cannot be loaded.
const FotonelHdf5Api *LoadHdf5Module(QString &error);
