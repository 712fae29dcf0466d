#!/usr/bin/env bash
# Runs one end-to-end case: run.sh CASE [ARGUMENT] (BIN and DATA in the
# environment).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/cases.sh"
. "$here/sweep.sh"
"case_$1" "${@:2}"
finish
