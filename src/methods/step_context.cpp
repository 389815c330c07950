#include "step_context.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "c_rescale.h"

void StepContext::after_drift(StepStages& stages) const
{
    if (barostat)
        barostat->rescale(stages, *this);
}

double positive(const char* name, double value, const char* what)
{
    if (!(std::isfinite(value) && value > 0.0)) {
        std::ostringstream msg;
        msg << name << " = " << value << " is not allowed: the " << what << " must be positive";
        throw std::invalid_argument(msg.str());
    }
    return value;
}
