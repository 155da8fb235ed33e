#!/usr/bin/env bash
# The project's mutation check: plants each fault of tools/mutants.txt in turn
# into a clone of the committed HEAD, runs the whole test suite against it and
# prints which faults the suite catches (docs/testing.md).
#
#   bash tools/mutants.sh                    # every fault (about 40 s each)
#   MUT_ONLY="M03 M17" bash tools/mutants.sh # a few of them
#
# Your checkout is never touched: commit what you want checked. The clone
# lives in $MUT_TREE (default /tmp/mut/<repository name>) and keeps its build
# between runs. The runner and the shared vectors come from $ZAL_SHARED
# (default: ../shared beside the repository). Every MUT_* setting of the
# runner passes through (MUT_ONLY, MUT_LIST, MUT_TEST_TIMEOUT, MUT_JOBS, ...).
set -euo pipefail

repo=$(git -C "$(dirname "${BASH_SOURCE[0]}")" rev-parse --show-toplevel)
export ZAL_SHARED=${ZAL_SHARED:-$(dirname "$repo")/shared}
runner=$ZAL_SHARED/tools/mutants/run.sh
[ -f "$runner" ] || { echo "mutants.sh: no runner at $runner (set ZAL_SHARED)" >&2; exit 2; }

tree=${MUT_TREE:-/tmp/mut/$(basename "$repo")}
if [ ! -e "$tree" ]; then
  mkdir -p "$(dirname "$tree")"
  git clone -q "$repo" "$tree"
elif [ "$(git -C "$tree" remote get-url origin 2>/dev/null)" = "$repo" ]; then
  git -C "$tree" fetch -q origin HEAD
  git -C "$tree" reset -q --hard FETCH_HEAD
else
  echo "mutants.sh: $tree is not a clone of $repo (set MUT_TREE)" >&2
  exit 2
fi

export MUT_ORIGIN=$repo
export MUT_LIST=${MUT_LIST:-$repo/tools/mutants.txt}
export MUT_OUT=${MUT_OUT:-$tree-results.tsv}
export MUT_LOGS=${MUT_LOGS:-$tree-logs}
# The runner prints a line per fault, then the report (also kept beside
# $MUT_OUT), whose last line is `killed K of N (build-fail B)`.
exec bash "$runner" "$tree"
