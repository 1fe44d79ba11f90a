#!/bin/sh
# vm_suite.sh RESULTS NAME...: the i686 run inside the virtual machine. The Wine prefix
# template on its own clock, then the scenarios KELVRA_E2E_JOBS (2) at a time, each
# leaving RESULTS/NAME.result (its output, then "status N in Ts") for i686.NAME.
results=$1
shift
mkdir -p "$results" && cd "$(dirname "$0")" || exit 1
for name in "$@"; do echo "not reached: see the i686.vm test" >"$results/$name.result"; done
begun=$(date +%s)
python3 -c "import kelvra_e2e; kelvra_e2e.template_prefix()" || exit 1
echo "vm_suite: Wine prefix made in $(($(date +%s) - begun))s"
printf '%s\n' "$@" | xargs -P "${KELVRA_E2E_JOBS:-2}" -I @ sh -c '
  started=$(date +%s)
  timeout 900 python3 -m unittest -v scenarios.Play.test_@ >"$0/@.run" 2>&1 </dev/null
  echo "status $? in $(($(date +%s) - started))s" >>"$0/@.run"
  mv "$0/@.run" "$0/@.result"
  echo "@: $(tail -n 1 "$0/@.result")"' "$results"
echo "vm_suite: $(($(date +%s) - begun))s in all"
