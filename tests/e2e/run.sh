#!/usr/bin/env bash
# Runs one end-to-end case: run.sh CASE (BIN and DATA in the environment).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/cases.sh"
"case_$1"
finish
