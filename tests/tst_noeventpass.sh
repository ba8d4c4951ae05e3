#!/usr/bin/env bash
# Long work runs on worker threads: the GUI thread never runs an event pass
# of its own. Nothing in the sources may call processEvents or start a local
# event loop (QEventLoop, exec()), but the application's main loop.
#
# Usage: tst_noeventpass.sh SOURCE_DIR
set -uo pipefail

src=${1:?source folder}
found=$(grep -rnE 'processEvents|QEventLoop|exec\(' "$src" --include='*.cpp' --include='*.h' \
        | grep -vx "$src/main.cpp:[0-9]*:    return QApplication::exec();")
if [ -n "$found" ]; then
    echo "event passes outside the main loop:"
    echo "$found"
    exit 1
fi
echo "ok: no event pass outside the main loop"
