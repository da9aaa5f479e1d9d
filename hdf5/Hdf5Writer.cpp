// The HDF5 side of the Photon-HDF5 export: a module of its own, linked with
// the HDF5 C library and nothing else of this program.
#include "hdf5/Hdf5Writer.h"

#include <hdf5.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace {

/// One HDF5 identifier, closed with its own close function.
class Handle {
public:
    Handle(hid_t id, herr_t (*close)(hid_t)) : id(id), close(close) {}
    ~Handle()
    {
        if (id >= 0)
            close(id);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    Handle(Handle &&other) noexcept : id(other.id), close(other.close) { other.id = -1; }
    Handle &operator=(Handle &&other) noexcept
    {
        if (this != &other) {
            if (id >= 0)
                close(id);
            id = other.id, close = other.close;
            other.id = -1;
        }
        return *this;
    }
    operator hid_t() const { return id; }
    /// Closes now; false when the library reports a failure.
    bool Close()
    {
        const hid_t closing = id;
        id = -1;
        return closing >= 0 && close(closing) >= 0;
    }
    bool Valid() const { return id >= 0; }

private:
    hid_t id;
    herr_t (*close)(hid_t);
};

/// File and memory type of an element type.
struct Types {
    hid_t file = -1, memory = -1;
};

Types TypesOf(int type)
{
    switch (type) {
    case FOTONEL_HDF5_I64: return {H5T_STD_I64LE, H5T_NATIVE_INT64};
    case FOTONEL_HDF5_U8: return {H5T_STD_U8LE, H5T_NATIVE_UINT8};
    case FOTONEL_HDF5_U16: return {H5T_STD_U16LE, H5T_NATIVE_UINT16};
    case FOTONEL_HDF5_F64: return {H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE};
    default: return {};
    }
}

/// A one-dimensional dataset that grows by appended blocks.
struct GrowingArray {
    hid_t dataset = -1;
    hid_t memoryType = -1;
    hsize_t size = 0;
};

} // namespace

/*!
 * The nodes of one file. The first failed library call makes every later
 * step a no-op returning false. The creation property lists live as long
 * as the file.
 */
struct FotonelHdf5File {
    Handle fcpl{-1, H5Pclose}, fapl{-1, H5Pclose}, file{-1, H5Fclose};
    std::vector<GrowingArray> arrays;
    bool ok = true;

    ~FotonelHdf5File() { CloseArrays(); }

    /// Closes the growing arrays (their sizes reach the file); false when one did not close.
    bool CloseArrays()
    {
        for (GrowingArray &a : arrays) {
            if (a.dataset >= 0 && H5Dclose(a.dataset) < 0)
                ok = false;
            a.dataset = -1;
        }
        return ok;
    }

    bool Check(bool good)
    {
        ok = ok && good;
        return ok;
    }

    /// A creation property list that stores no object times (same bytes on every run).
    Handle Untimed(hid_t cls)
    {
        Handle list(H5Pcreate(cls), H5Pclose);
        Check(list.Valid() && H5Pset_obj_track_times(list, 0) >= 0);
        return list;
    }

    bool Title(hid_t object, const char *title)
    {
        if (!ok || !title)
            return Check(false);
        return StringAttribute(object, "TITLE", title);
    }

    bool StringAttribute(hid_t object, const char *name, const std::string &text)
    {
        if (!ok)
            return false;
        Handle type = StringType(text);
        Handle space(H5Screate(H5S_SCALAR), H5Sclose);
        if (!Check(type.Valid() && space.Valid()))
            return false;
        Handle attribute(H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
        return Check(attribute.Valid() && H5Awrite(attribute, type, text.c_str()) >= 0);
    }

    bool Group(const char *path, const char *title)
    {
        if (!ok)
            return false;
        Handle plist = Untimed(H5P_GROUP_CREATE);
        Handle group(H5Gcreate2(file, path, H5P_DEFAULT, plist, H5P_DEFAULT), H5Gclose);
        return Check(group.Valid()) && Title(group, title);
    }

    bool String(const char *path, const std::string &text, const char *title)
    {
        if (!ok)
            return false;
        Handle type = StringType(text);
        Handle space(H5Screate(H5S_SCALAR), H5Sclose);
        Handle plist = Untimed(H5P_DATASET_CREATE);
        if (!Check(type.Valid() && space.Valid()))
            return false;
        Handle set(H5Dcreate2(file, path, type, space, H5P_DEFAULT, plist, H5P_DEFAULT), H5Dclose);
        return Check(set.Valid() && H5Dwrite(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, text.c_str()) >= 0) &&
               Title(set, title);
    }

    bool Array(const char *path, int type, const void *values, hsize_t count, bool scalar, const char *title)
    {
        if (!ok)
            return false;
        const Types types = TypesOf(type);
        if (!Check(types.file >= 0))
            return false;
        const hsize_t dims[1] = {count};
        Handle space(scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, dims, nullptr), H5Sclose);
        Handle plist = Untimed(H5P_DATASET_CREATE);
        if (!Check(space.Valid()))
            return false;
        Handle set(H5Dcreate2(file, path, types.file, space, H5P_DEFAULT, plist, H5P_DEFAULT), H5Dclose);
        if (!Check(set.Valid()))
            return false;
        if (count > 0 && !Check(H5Dwrite(set, types.memory, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) >= 0))
            return false;
        return Title(set, title);
    }

    std::size_t Growing(const char *path, int type, hsize_t chunk, const char *title)
    {
        arrays.push_back({});
        if (!ok)
            return arrays.size() - 1;
        const Types types = TypesOf(type);
        if (!Check(types.file >= 0))
            return arrays.size() - 1;
        const hsize_t dims[1] = {0}, maxDims[1] = {H5S_UNLIMITED}, chunkDims[1] = {chunk};
        Handle space(H5Screate_simple(1, dims, maxDims), H5Sclose);
        Handle plist = Untimed(H5P_DATASET_CREATE);
        if (!Check(space.Valid() && H5Pset_chunk(plist, 1, chunkDims) >= 0))
            return arrays.size() - 1;
        const hid_t set = H5Dcreate2(file, path, types.file, space, H5P_DEFAULT, plist, H5P_DEFAULT);
        arrays.back() = {set, types.memory, 0};
        if (Check(set >= 0))
            Title(set, title);
        return arrays.size() - 1;
    }

    bool Append(std::size_t which, const void *data, hsize_t count)
    {
        if (!ok || count == 0)
            return ok;
        if (!Check(which < arrays.size()))
            return false;
        GrowingArray &a = arrays[which];
        const hsize_t newSize[1] = {a.size + count}, start[1] = {a.size}, counts[1] = {count};
        if (!Check(H5Dset_extent(a.dataset, newSize) >= 0))
            return false;
        Handle fileSpace(H5Dget_space(a.dataset), H5Sclose);
        Handle memorySpace(H5Screate_simple(1, counts, nullptr), H5Sclose);
        if (!Check(fileSpace.Valid() && memorySpace.Valid() &&
                   H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, start, nullptr, counts, nullptr) >= 0))
            return false;
        if (!Check(H5Dwrite(a.dataset, a.memoryType, memorySpace, fileSpace, H5P_DEFAULT, data) >= 0))
            return false;
        a.size += count;
        return true;
    }

    /// A fixed-length string type as long as \p text (at least one byte).
    Handle StringType(const std::string &text)
    {
        Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
        // Names of files may hold any character: such a text is marked UTF-8.
        const bool ascii =
            std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        Check(type.Valid() && H5Tset_size(type, std::max<std::size_t>(1, text.size())) >= 0 &&
              H5Tset_strpad(type, H5T_STR_NULLPAD) >= 0 && (ascii || H5Tset_cset(type, H5T_CSET_UTF8) >= 0));
        return type;
    }
};

namespace {

FotonelHdf5File *Create(const char *path)
{
    // The library prints its own error stack on standard error: every
    // failure reaches the export through the return values instead.
    // A file whose close failed (a full disk) stays in the library's list,
    // and the library's own clean-up at exit would crash on it (HDF5 1.10):
    // it gets no clean-up at exit.
    static const bool quiet = [] {
        H5dont_atexit();
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        return true;
    }();
    (void)quiet;
    FotonelHdf5File *out = new (std::nothrow) FotonelHdf5File;
    if (!out || !path)
        return delete out, nullptr;
    out->fcpl = Handle(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
    if (!out->fcpl.Valid() || H5Pset_obj_track_times(out->fcpl, 0) < 0)
        return delete out, nullptr;
    out->fapl = Handle(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (!out->fapl.Valid() || H5Pset_fclose_degree(out->fapl, H5F_CLOSE_STRONG) < 0)
        return delete out, nullptr;
    out->file = Handle(H5Fcreate(path, H5F_ACC_TRUNC, out->fcpl, out->fapl), H5Fclose);
    if (!out->file.Valid())
        return delete out, nullptr;
    return out;
}

int RootTitle(FotonelHdf5File *f, const char *title) { return f->Title(f->file, title); }

int Group(FotonelHdf5File *f, const char *path, const char *title) { return f->Group(path, title); }

int String(FotonelHdf5File *f, const char *path, const char *text, size_t size, const char *title)
{
    return f->String(path, std::string(text, size), title);
}

int Scalar(FotonelHdf5File *f, const char *path, int type, const void *value, const char *title)
{
    return f->Array(path, type, value, 1, true, title);
}

int Array(FotonelHdf5File *f, const char *path, int type, const void *values, uint64_t count, const char *title)
{
    return f->Array(path, type, values, count, false, title);
}

int64_t Growing(FotonelHdf5File *f, const char *path, int type, uint64_t chunk, const char *title)
{
    return static_cast<int64_t>(f->Growing(path, type, chunk, title));
}

int Append(FotonelHdf5File *f, int64_t array, const void *values, uint64_t count)
{
    return f->Append(static_cast<std::size_t>(array), values, count);
}

int Close(FotonelHdf5File *f)
{
    // Closing writes the library's remaining metadata: a full disk shows here too.
    const bool written = f->CloseArrays() && H5Fflush(f->file, H5F_SCOPE_LOCAL) >= 0;
    const bool closed = f->file.Close();
    delete f;
    return closed && written;
}

const FotonelHdf5Api kApi = {FOTONEL_HDF5_API_VERSION, Create, RootTitle, Group, String, Scalar,
                             Array, Growing, Append, Close};

} // namespace

extern "C" __attribute__((visibility("default"))) const FotonelHdf5Api *fotonel_hdf5_api(void) { return &kApi; }
