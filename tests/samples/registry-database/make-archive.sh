#!/usr/bin/env bash
# Makes database.7z from files/ with Debian's 7z (p7zip-full), as the
# registry-database server would serve it. Only needed to remake it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
rm -f "$here/database.7z"
cd "$here/files"
7z a -bd -mx=9 "$here/database.7z" catalogs.txt deployments.txt components.txt versionedIndexes >/dev/null
