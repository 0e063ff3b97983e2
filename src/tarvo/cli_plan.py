"""tarvo plan DIR...: which measurement to add, ranked by the information it adds."""

import math
from pathlib import Path

from .design import plan, read_candidates
from .directory_fit import prepare_fit
from .global_fit import member_of
from .provenance import provenance
from .report import write_result

# The plan file written into --out (default: the first directory).
PLAN_FILE = "plan.json"


# The parser of tarvo plan.
def add_plan_parser(commands):
    parser = commands.add_parser(
        "plan", help="rank candidate measurements by how much they would add",
        description="For the measurements of DIR... (at the [start] values, or the fitted ones "
                    "of a fit-result.json with --from-fit) compute the expected standard errors "
                    "of the fitted parameters after adding each candidate measurement (Fisher "
                    "information of the exact Jacobian, the noise of the existing data) and rank "
                    f"the candidates by their D-optimal gain; write {PLAN_FILE}.")
    parser.add_argument("directory", metavar="DIR", nargs="+", help="measurement directory")
    parser.add_argument("--candidates", metavar="FILE",
                        help="TOML file of [[candidate]] tables (name, and any of tau, "
                             "pulse_energy, populations, wavelength, sample_width, w0); "
                             "default: other pulse energies, pulse durations 100 times shorter "
                             "and longer, twice the concentration")
    parser.add_argument("--out", metavar="OUTDIR",
                        help=f"where {PLAN_FILE} goes (default: the first DIR)")
    return parser


# A relative error as text.
def _percent(error):
    return "inf" if not math.isfinite(error) or error > 1e6 else f"{100 * error:.3g}%"


# tarvo plan DIR...: read, plan, print the table, write plan.json.
def run_plan_command(args, argv):

    requests = [prepare_fit(directory, argv=argv) for directory in args.directory]
    members = [member_of(request.measurement, request.model) for request in requests]
    params = requests[0].measurement.parameters()
    candidates = read_candidates(args.candidates, members[0]) if args.candidates else None
    result = plan(members, params, candidates)
    names = result["parameters"]
    print("expected relative standard errors of " + ", ".join(names))
    print("  now: " + ", ".join(f"{n} {_percent(result['present'][n])}" for n in names))
    for rank, entry in enumerate(result["candidates"], start=1):
        errors = entry["expected_relative_errors"]
        print(f"{rank:3d}. {entry['description']} (gain {entry['gain']:.3g}): "
              + ", ".join(f"{n} {_percent(errors[n])}" for n in names))
    out = Path(args.out) if args.out else requests[0].measurement.directory
    out.mkdir(parents=True, exist_ok=True)
    inputs = tuple(file for request in requests for file in request.measurement.input_files)
    document = dict(result, provenance=provenance(argv, inputs),
                    directories=[str(r.measurement.directory) for r in requests],
                    method="Fisher information of the exact Jacobian in log-parameters, the "
                           "noise of the existing data; D-optimal gain = log det ratio")
    write_result(out / PLAN_FILE, document)
    print(f"plan: {out / PLAN_FILE}")
    return 0
