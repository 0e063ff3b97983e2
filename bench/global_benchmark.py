"""Global fit and measurement planning: their time beside the single fits of
the same measurements, measured in one run.

The two measurements of examples/global (4 ns and 25 ps pulses, 3 curves of
61 points each, energy model at its defaults): the global fit of sigma_2,
sigma_4, tau_24 and two foci (and of sigma_1 too, four shared parameters),
each measurement's own fit, and tarvo plan over the nanosecond measurement's
candidates.
"""

import sys
import warnings
from pathlib import Path

from tarvo import fit
from tarvo.planning import default_candidates, plan
from tarvo.global_fit import fit_global, member_of
from tarvo.measurement_directory import read_measurement

HERE = Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "examples" / "global"
sys.path.insert(0, str(HERE))
from bench_cases import best_time  # noqa: E402  (after the path that finds it)




def main():
    measurements = [read_measurement(EXAMPLES / name) for name in ("ns", "ps")]
    members = [member_of(m, "energy") for m in measurements]
    params = measurements[0].parameters()
    warnings.simplefilter("ignore")
    # tarvo.fit takes the focus start from params, the global fit from each set-up.
    singles = [best_time(lambda m=m: fit(params=params, checks="off", **{
        k: v for k, v in m.arguments.items() if k != "focus"}))[0] for m in members]
    together, result = best_time(lambda: fit_global(members, params, checks="off"))
    params["sigma_1"].set(vary=True)
    together_four, _ = best_time(lambda: fit_global(members, params, checks="off"))
    params["sigma_1"].set(vary=False)
    candidates = default_candidates(members[0])
    candidates.append(candidates[0])
    planning, planned = best_time(lambda: plan(members[:1], params, candidates))
    print(f"single fits: ns {singles[0]:.2f} s, ps {singles[1]:.2f} s (sum {sum(singles):.2f} s)")
    print(f"global fit, 3 shared parameters + 2 foci: {together:.2f} s "
          f"({together / sum(singles):.2f} x the sum of the single fits), {result.nfev} "
          "evaluations")
    print(f"global fit, 4 shared parameters + 2 foci: {together_four:.2f} s")
    print(f"tarvo plan over {len(candidates)} candidates: {planning:.2f} s; first: "
          f"{planned['candidates'][0]['description']}")


if __name__ == "__main__":
    main()
