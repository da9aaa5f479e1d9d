#include "fcs/FcsModel.h"

#include <limits>

namespace fcs {

namespace {
const char *const kModelNames[] = {"3D", "3D+T", "2D", "3D+3D"};
const char *const kParameterNames[ParameterCount] = {"Ginf", "N", "tauD", "kappa", "T", "tauT", "f", "tauD2"};
} // namespace

const char *ModelName(Model model)
{
    return kModelNames[static_cast<std::size_t>(model)];
}

bool ModelFromName(const std::string &name, Model &model)
{
    for (std::size_t m = 0; m < 4; ++m)
        if (name == kModelNames[m]) {
            model = static_cast<Model>(m);
            return true;
        }
    return false;
}

const char *ParameterName(std::size_t parameter)
{
    return parameter < ParameterCount ? kParameterNames[parameter] : "";
}

bool ParameterFromName(const std::string &name, std::size_t &parameter)
{
    for (std::size_t p = 0; p < ParameterCount; ++p)
        if (name == kParameterNames[p]) {
            parameter = p;
            return true;
        }
    return false;
}

const char *ParameterUnit(std::size_t parameter)
{
    return parameter == TauD || parameter == TauT || parameter == TauD2 ? "ms" : "";
}

bool ModelUses(Model model, std::size_t parameter)
{
    switch (parameter) {
    case Ginf:
    case N:
    case TauD:
        return true;
    case Kappa:
        return model != Model::Diffusion2D;
    case T:
    case TauT:
        return model == Model::Diffusion3DTriplet;
    case F:
    case TauD2:
        return model == Model::TwoSpecies3D;
    default:
        return false;
    }
}

bool WithinBounds(std::size_t parameter, double value)
{
    if (!std::isfinite(value))
        return false;
    switch (parameter) {
    case Ginf:
        return true;
    case T:
        return value >= 0 && value < 1;
    case F:
        return value >= 0 && value <= 1;
    default:
        return value > 0;
    }
}

double ModelValue(Model model, const Parameters &p, double tau)
{
    Parameters q = p;
    q[N] = 1.0 / p[N];
    const double *pointers[ParameterCount];
    for (std::size_t i = 0; i < ParameterCount; ++i)
        pointers[i] = &q[i];
    return EvaluateWithAmplitude<double>(model, pointers, tau);
}

} // namespace fcs
