#!/usr/bin/env bash
# Writes STATE/nginx.conf from scripts/nginx.conf.in: HTTPS on HTTPS_PORT of 127.0.0.1 and, when
# given, plain HTTP on HTTP_PORT, serving STATE/www with the certificates of STATE/tls.
#
#   bash scripts/nginx-conf.sh STATE HTTPS_PORT [HTTP_PORT]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
state=$(cd "$1" && pwd)
https_port=$2
http_listen=""
[ -z "${3:-}" ] || http_listen="listen 127.0.0.1:$3;"
mkdir -p "$state/logs" "$state/tmp"
sed -e "s|@STATE@|$state|g" -e "s|@USER@|$(id -un)|g" -e "s|@HTTPS_PORT@|$https_port|g" \
    -e "s|@HTTP_LISTEN@|$http_listen|" "$here/scripts/nginx.conf.in" > "$state/nginx.conf"
