#pragma once
/*!
 * \brief The calls of the Photon-HDF5 export into the HDF5 library, behind a
 * table of plain C functions.
 *
 * The HDF5 library and the thirty-odd libraries it pulls in are loaded only
 * when a Photon-HDF5 file is written: these functions live in a module of
 * their own (libfotonel_hdf5.so beside the programs) that the export opens
 * with dlopen and asks for its table through the one exported factory.
 *
 * A file is built by calls in order. The first failed library call marks the
 * file failed: every later call does nothing and returns 0, and close()
 * reports the failure. Titles are the TITLE attributes of the nodes; a null
 * title is a failure too.
 */
#include <stddef.h>
#include <stdint.h>

extern "C" {

/// Element types: stored little-endian, passed in the machine's own order.
enum FotonelHdf5Type {
    FOTONEL_HDF5_I64 = 0,
    FOTONEL_HDF5_U8 = 1,
    FOTONEL_HDF5_U16 = 2,
    FOTONEL_HDF5_F64 = 3,
};

typedef struct FotonelHdf5File FotonelHdf5File;

struct FotonelHdf5Api {
    /// FOTONEL_HDF5_API_VERSION of the module.
    uint32_t version;
    /// Creates (truncates) the file at \p path; null when the library cannot.
    FotonelHdf5File *(*create)(const char *path);
    /// The TITLE of the root group.
    int (*rootTitle)(FotonelHdf5File *file, const char *title);
    int (*group)(FotonelHdf5File *file, const char *path, const char *title);
    /// A scalar fixed-length string of \p size bytes (at least one is stored).
    int (*string)(FotonelHdf5File *file, const char *path, const char *text, size_t size, const char *title);
    /// A scalar number of type \p type at \p value.
    int (*scalar)(FotonelHdf5File *file, const char *path, int type, const void *value, const char *title);
    /// A one-dimensional array of \p count numbers.
    int (*array)(FotonelHdf5File *file, const char *path, int type, const void *values, uint64_t count,
                 const char *title);
    /// An empty array of unlimited length stored in chunks of \p chunk values: its number for append().
    int64_t (*growing)(FotonelHdf5File *file, const char *path, int type, uint64_t chunk, const char *title);
    /// Appends \p count values to growing array \p array; the state of the file (1: no failure so far).
    int (*append)(FotonelHdf5File *file, int64_t array, const void *values, uint64_t count);
    /// Closes the arrays, flushes and closes the file and frees \p file: 1 when all of it succeeded.
    int (*close)(FotonelHdf5File *file);
};

#define FOTONEL_HDF5_API_VERSION 1u
/// Name of the factory the module exports.
#define FOTONEL_HDF5_FACTORY "fotonel_hdf5_api"
typedef const struct FotonelHdf5Api *(*FotonelHdf5Factory)(void);

} // extern "C"
