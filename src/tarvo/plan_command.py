"""tarvo plan DIR...: the measurements of the directories, the candidates
ranked by how much they would add (tarvo.plan), printed and written to
plan.json."""

import math
from pathlib import Path

from .directory_fit import prepare_fit
from .errors import InputError
from .files import json_number, provenance
from .global_fit import member_of
from .planning import Candidate, candidate_problem, plan, read_candidates
from .report import write_result
from .results import FitResult


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
    parser.add_argument("--from-fit", metavar="FILE",
                        help="a fit-result.json whose fitted values replace the [start] values "
                             "(the parameters it does not hold keep them)")
    parser.add_argument("--out", metavar="OUTDIR",
                        help=f"where {PLAN_FILE} goes (default: the first DIR)")
    return parser


# A document with every non-finite number as null (JSON has none).
def _json_ready(value):
    if isinstance(value, dict):
        return {key: _json_ready(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(item) for item in value]
    if isinstance(value, float):
        return json_number(value)
    return value


# A relative error as text.
def _percent(error):
    return "inf" if not math.isfinite(error) or error > 1e6 else f"{100 * error:.3g}%"


# The line that says what tarvo plan's numbers are.
def plan_legend(names):
    return (f"expected relative standard errors of {', '.join(names)} now and after adding each "
            "candidate (1 sigma, from the Fisher information at these values and the noise of "
            "the existing data); gain = ln det(F_after) - ln det(F_now): the joint confidence "
            f"region of the {len(names)} parameters shrinks e^(gain/2)-fold, each error about "
            f"e^(gain/{2 * len(names)})-fold")


# tarvo plan DIR...: read, plan, print the table, write plan.json.
def run_plan_command(args, argv):

    requests = [prepare_fit(directory, argv=argv) for directory in args.directory]
    members = [member_of(request.measurement, request.model) for request in requests]
    for request, member in zip(requests, members):
        problem = candidate_problem(Candidate(member.label, member.arguments))
        if problem is not None:
            raise InputError(f"{request.measurement.directory / 'setup.toml'}: {problem}")
    params = requests[0].measurement.parameters()
    if args.from_fit:
        try:
            fitted = FitResult.load(args.from_fit).values
        except (OSError, ValueError) as error:
            raise InputError(f"--from-fit: {error}") from None
        for name, parameter in params.items():
            if name in fitted and fitted[name] is not None:
                parameter.set(value=fitted[name])
    candidates = read_candidates(args.candidates, members[0]) if args.candidates else None
    try:
        result = plan(members, params, candidates)
    except (InputError, ArithmeticError) as error:
        raise InputError(f"plan: {error}") from None
    names = result["parameters"]
    for entry in result["skipped"]:
        print(f"skipped {entry['description']}: {entry['reason']}")
    print(plan_legend(names))
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
    write_result(out / PLAN_FILE, _json_ready(document))
    print(f"plan: {out / PLAN_FILE}")
    return 0
