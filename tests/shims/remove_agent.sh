#!/bin/bash
# Addigy's offline removal script: removes <root>/Library/Addigy.
# A canned exit status (remove_agent.sh.exit) fails it without removing.
. "${0%/*}/_shimlib.sh" 2>/dev/null || . "$(dirname "$(readlink -f "$0")")/_shimlib.sh"
shim_log remove_agent.sh "$@"
if [ -f "$shim_dir/remove_agent.sh.exit" ]; then shim_exit remove_agent.sh; fi
rm -rf "${QV_ROOT:-/}/Library/Addigy"
shim_exit remove_agent.sh
