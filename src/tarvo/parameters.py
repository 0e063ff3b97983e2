"""The eight model parameters: names, units and meanings, in `spec_pars` order."""

from dataclasses import dataclass

from . import _native


# One entry of the parameter vector.
@dataclass(frozen=True)
class Parameter:
    name: str
    unit: str
    meaning: str


# The parameter vector `spec_pars`, index 0 to 7. Time constants enter the
# rate equations through their reciprocals.
PARAMETERS = (
    Parameter("sigma_1", "cm^2", "absorption cross-section of level 1 (ground level)"),
    Parameter("sigma_2", "cm^2", "absorption cross-section of level 2"),
    Parameter("sigma_4", "cm^2", "absorption cross-section of level 4"),
    Parameter("tau_21", "s", "time constant of the 2->1 decay"),
    Parameter("tau_24", "s", "time constant of the 2->4 transfer"),
    Parameter("tau_32", "s", "time constant of the 3->2 relaxation"),
    Parameter("tau_41", "s", "time constant of the 4->1 decay"),
    Parameter("tau_54", "s", "time constant of the 5->4 relaxation"),
)

# Parameter names in vector order.
NAMES = tuple(p.name for p in PARAMETERS)

# Number of entries of `spec_pars`, as the native code defines it.
COUNT = _native.PARAMETER_COUNT

if len(PARAMETERS) != COUNT:
    raise ImportError(f"tarvo.parameters names {len(PARAMETERS)} parameters but the native "
                      f"model has {COUNT}")


# 0-based index of a parameter name; ValueError naming the valid names otherwise.
def index_of(name):
    try:
        return NAMES.index(name)
    except ValueError:
        raise ValueError(f"unknown parameter {name!r}; the parameters are "
                         + ", ".join(NAMES)) from None
