#!/usr/bin/env bash
# The layers, from the includes: core below everything; dispatch and channels beside each
# other, neither including the other; app above both; ui on top. Tests and benchmarks include
# ui/ only for the windows' own tests. Prints each include that runs the wrong way, in any
# spelling: "dispatch/X.h" or <dispatch/X.h>, "# include" with spaces, and paths that climb
# out of their folder ("../dispatch/X.h", "../../src/ui/X.h").
# Usage: layers.sh [TOP]; layers.sh --self-test proves that each spelling is caught.
set -u
if [ "${1:-}" = --self-test ]; then
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    status=0
    spellings=('#include "dispatch/RowPipeline.h"' '#include <dispatch/RowPipeline.h>'
        '#  include "dispatch/RowPipeline.h"' '#include "../dispatch/RowPipeline.h"'
        '#include "../../src/dispatch/RowPipeline.h"')
    mkdir -p "$scratch/src/channels"
    for i in "${!spellings[@]}"; do
        printf '%s\n' "${spellings[$i]}" >"$scratch/src/channels/Bad$i.cpp"
    done
    report=$("$0" "$scratch")
    for i in "${!spellings[@]}"; do
        if ! grep -q "Bad$i.cpp" <<<"$report"; then
            echo "layers: not caught: ${spellings[$i]}"
            status=1
        fi
    done
    [ "$status" -eq 0 ] && echo "layers: every spelling of an upward include is caught"
    exit "$status"
fi
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$top" || exit 2
bad=0
forbid() {  # forbid FOLDER PATTERN WHY
    local hits
    hits=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]([.][.]/)*(src/)?($2)/" \
        "$1" 2>/dev/null)
    if [ -n "$hits" ]; then
        printf '%s\n' "$hits" | sed "s|\$|   <- $3|"
        bad=1
    fi
}
forbid src/core 'dispatch|channels|app|ui' "core includes nothing above it"
forbid src/dispatch 'channels|app|ui' "dispatch includes neither channels nor what is above"
forbid src/channels 'dispatch|app|ui' "channels include neither dispatch nor what is above"
forbid src/app 'ui' "app does not include the windows"
for folder in tests/core tests/dispatch tests/channels tests/app tests/support bench fuzz; do
    forbid "$folder" 'ui' "only the windows' tests include ui/"
done
[ "$bad" -eq 0 ] && echo "layers: every include runs downwards"
exit "$bad"
