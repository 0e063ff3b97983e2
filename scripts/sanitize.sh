#!/usr/bin/env bash
# Runs tests against native modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a virtual environment of their own.
#   scripts/sanitize.sh [pytest arguments]     (default: the whole suite)
# Exit status: pytest's, or 1 when any process wrote an AddressSanitizer error
# report, even a subprocess whose exit status a test does not look at.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${SANITIZE_VENV:-.venv-sanitize}
reports=build/sanitize-reports

bash scripts/system-packages.sh
bash scripts/make-venv.sh "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
# A build directory of its own keeps the instrumented CMake cache apart from
# the normal build's.
"$venv/bin/python" -m pip install --quiet \
  -Ccmake.define.TARVO_SANITIZE=ON -Cinstall.strip=false -Cbuild-dir='build/sanitize/{wheel_tag}' \
  '.[test,batch]'

# The interpreter itself is not instrumented: the ASan runtime has to be
# loaded before anything else, and the C++ runtime with it (the interpreter
# does not link it, and ASan's hook on C++ throws needs it at start-up).
asan_runtime=$(g++ -print-file-name=libasan.so)
[ -f "$asan_runtime" ] || { echo "libasan.so not found (install g++ with its sanitizer runtimes)" >&2; exit 1; }
rm -rf "$reports"
mkdir -p "$reports"
report_prefix=$(pwd)/$reports/report

# detect_leaks=0: the interpreter keeps its objects alive at exit by design.
# allocator_may_return_null / max_allocation_size_mb: absurd sizes fail as
# MemoryError instead of aborting or paging in tens of gigabytes.
# halt_on_error / print_stacktrace: the first undefined behaviour ends the
# process with a stack trace and status 1. (Next to ASan, GCC's UBSan runtime
# writes to stderr whatever log_path says; ASan's reports go to the files.)
export LD_PRELOAD="$asan_runtime $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=4096:log_path=$report_prefix"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$report_prefix"
# Python objects from malloc, so array buffers get ASan's red zones too.
export PYTHONMALLOC=malloc

status=0
"$venv/bin/pytest" -q -p no:cacheprovider "${@:-tests}" || status=$?

shopt -s nullglob
# Errors ("ERROR: AddressSanitizer", UBSan's "runtime error:") fail the run;
# a file with warnings only (an allocation refused as MemoryError) does not.
problems=0
for report in "$reports"/report.*; do
  if grep -q -e "ERROR:" -e "runtime error:" "$report"; then
    echo "=== sanitizer report $report"
    cat "$report"
    problems=$((problems + 1))
  else
    echo "sanitizer warnings (not errors) in $report: $(sort -u "$report" | head -3 | tr '\n' ' ')"
  fi
done
if [ $problems -gt 0 ]; then
  echo "sanitizers reported $problems problem(s)" >&2
  [ $status -ne 0 ] || status=1
else
  echo "sanitizers: no errors"
fi
exit $status
