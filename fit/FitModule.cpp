// Plain C++ without Qt: the fits and their static libraries know nothing of Qt.
#include "fit/FitModule.h"

#include "fit/FitSolver.h"

#include <cstdlib>
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#include <vector>

namespace {

/// The folder of the running program (empty when /proc cannot tell).
std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    const std::string program(path, static_cast<std::size_t>(length));
    const std::size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash == 0 ? 1 : slash);
}

/// Folders to search, in order.
std::vector<std::string> Folders()
{
    const char *chosen = std::getenv("FOTONEL_FIT_MODULE_DIR");
    if (chosen && *chosen)
        return {chosen};
    std::vector<std::string> folders;
    const std::string program = ProgramFolder();
    if (!program.empty())
        folders.push_back(program);
#ifdef FOTONEL_FIT_MODULE_BUILD_DIR
    // Tests and benchmarks run from other folders of the build tree.
    if (program != FOTONEL_FIT_MODULE_BUILD_DIR)
        folders.push_back(FOTONEL_FIT_MODULE_BUILD_DIR);
#endif
    return folders;
}

std::string LoaderError()
{
    const char *text = dlerror();
    return text ? text : "unknown error";
}

struct Loaded {
    const FotonelFitApi *api = nullptr;
    std::string error;
};

Loaded Load()
{
    Loaded loaded;
    std::string reasons;
    const auto reason = [&](const std::string &text) { reasons += (reasons.empty() ? "" : "; ") + text; };
    for (const std::string &folder : Folders()) {
        const std::string path = folder + (folder.empty() || folder.back() != '/' ? "/" : "") + FitModuleName();
        void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            reason(LoaderError());
            continue;
        }
        const auto factory = reinterpret_cast<FotonelFitFactory>(dlsym(module, FOTONEL_FIT_FACTORY));
        const FotonelFitApi *api = factory ? factory() : nullptr;
        if (api && api->version == FOTONEL_FIT_API_VERSION) {
            loaded.api = api;
            return loaded;
        }
        reason(factory ? path + ": version " + std::to_string(api ? api->version : 0) + " of the interface, not "
                             + std::to_string(FOTONEL_FIT_API_VERSION)
                       : LoaderError());
        dlclose(module);
    }
    loaded.error = "cannot load the fit module " + FitModuleName() + ": "
                   + (reasons.empty() ? std::string("no folder to search") : reasons);
    return loaded;
}

} // namespace

std::string FitModuleName()
{
#ifdef FOTONEL_FIT_MODULE_NAME
    return FOTONEL_FIT_MODULE_NAME;
#else
    return "libfotonel_fit.so";
#endif
}

const FotonelFitApi *LoadFitModule(std::string &error)
{
    // Loaded once, by whichever thread fits first; the others wait for it.
    static const Loaded loaded = Load();
    if (!loaded.api)
        error = loaded.error;
    return loaded.api;
}
