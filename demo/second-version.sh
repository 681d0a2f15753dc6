#!/usr/bin/env bash
# Publishes a second version of the demo's moor repository on a server that demo/prepare.sh
# prepared, running or not: one file changed (data/realms/list.txt gains a realm), every other
# entry of the archive byte for byte as before, the archive replaced in one rename (so nginx's
# ETag changes), then a fourth commit on top of its commit list. A launcher that installed the
# first version then updates by byte ranges: it fetches the changed entry alone.
#
#   bash demo/second-version.sh STATE PORT
#
# Running it again publishes the same version again; demo/prepare.sh publishes the first one.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
state=$(cd "$1" && pwd)
port=$2
base="https://127.0.0.1:$port"
# shellcheck source=demo/content.sh
source "$here/demo/content.sh"

www="$state/www"
commit_list="$www/api/v4/projects/4102/repository/commits"
list="moor-online/data/realms/list.txt"
if [ ! -f "$state/stage/$list" ] || [ ! -f "$commit_list" ]; then
    echo "No moor repository prepared in $state (bash demo/prepare.sh STATE PORT moor)." >&2
    exit 1
fi

printf 'north\nsouth\neast\n' > "$state/stage/$list"
pack_archive "$state/stage" moor-online "$www/downloads/moor.zip"
# The archive before the commit: a launcher that sees the commit finds its archive.
commits 4102 4 3 2 1 > "$commit_list.tmp"
mv -f "$commit_list.tmp" "$commit_list"
chmod a+r "$www/downloads/moor.zip" "$commit_list"
echo "Published moor's second version (commit $(commit_id 4102:4)): $list changed;" \
    "$base/downloads/moor.zip is $(stat -c %s "$www/downloads/moor.zip") bytes."
