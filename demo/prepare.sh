#!/usr/bin/env bash
# Prepares a local update server for the launcher: a certificate authority and a server
# certificate (made once, unless STATE/tls holds them already), the manifest, GitLab-shaped
# commit lists, the repositories' ZIP archives, the background picture, and an nginx
# configuration that serves them over HTTPS on 127.0.0.1. Everything lives under the state
# folder; nothing else on the machine is touched.
#
#   bash demo/prepare.sh STATE PORT [REPOSITORY...]
#
# Repositories: client, moor, tools (default: these three) and arena. The client repository gets a
# new commit every time this runs, so a second start of the launcher shows a download next to an
# up-to-date repository. The arena repository is published without its archive: its download
# fails (404), and its column says so and offers Retry. After it: nginx -p STATE -c STATE/nginx.conf -e STATE/logs/error.log
# demo/second-version.sh then publishes a second version of moor, for a delta update.
#
# With VELTRO_DEMO_PROGRAMS=windows the programs are Windows executables (demo/demoprogram.c,
# cross-compiled with MinGW-w64) named .exe, for the launcher built for Windows.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
state=$(mkdir -p "$1" && cd "$1" && pwd)
port=$2
shift 2
repos=("$@")
[ ${#repos[@]} -gt 0 ] || repos=(client moor tools)
base="https://127.0.0.1:$port"
suffix=.sh
[ "${VELTRO_DEMO_PROGRAMS:-}" != windows ] || suffix=.exe
# shellcheck source=demo/content.sh
source "$here/demo/content.sh"

mkdir -p "$state/tls" "$state/logs" "$state/tmp"

# --- certificates, once per state folder ------------------------------------------------------
[ -s "$state/tls/server.pem" ] || bash "$here/scripts/make-certs.sh" "$state/tls" "Veltro Demo CA"

# --- content ----------------------------------------------------------------------------------
generation=$(( $(cat "$state/generation" 2>/dev/null || echo 0) + 1 ))
echo "$generation" > "$state/generation"

www="$state/www"
stage="$state/stage"
rm -rf "$www" "$stage"
mkdir -p "$www/kiv" "$www/downloads" "$stage"
cp "$here/assets/background.jpg" "$www/kiv/background.jpg"

# demo_program path title: a program that records how it was started, one line per start in
# started.log of its working folder, and shows a small window when it has a display.
demo_program() {
    mkdir -p "$(dirname "$1")"
    if [ "$suffix" = .exe ]; then
        # Without the link time in its header, a program built again is the same file, which a
        # delta update leaves alone.
        x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Wl,--no-insert-timestamp \
            -DDEMO_TITLE="\"$2\"" -o "$1" "$here/demo/demoprogram.c"
        return
    fi
    cat > "$1" <<EOF
#!/bin/sh
# Demo program of the Veltro update server: records its start and its arguments.
line="$2 started in \$(pwd) with:"
for argument in "\$@"; do line="\$line [\$argument]"; done
echo "\$line" >> started.log
if [ -n "\${DISPLAY:-}" ] && [ -z "\${VELTRO_DEMO_NO_WINDOW:-}" ] \\
    && command -v xmessage >/dev/null; then
    xmessage -center -timeout 30 -title "$2" "\$line" &
fi
EOF
    chmod 755 "$1"
}

# repository name project dir icon args exes-json tooltip-json generations...
entries=()
repository() {
    local name=$1 project=$2 dir=$3 icon=$4 args=$5 exes=$6 tooltip=$7
    shift 7
    local api="$base/api/v4/projects/$project/repository/commits"
    mkdir -p "$www/api/v4/projects/$project/repository"
    commits "$project" "$@" > "$www/api/v4/projects/$project/repository/commits"
    pack_archive "$stage" "$dir" "$www/downloads/$name.zip"
    local exe
    exe=$(printf '%s' "$exes" | sed -e 's/^\["//' -e 's/".*//')
    local fields='    {\n      "name": "%s",\n      "icon": "%s",\n      "exes": %s,\n'
    fields+='      "tooltip": %s,\n      "api": "%s",\n      "dir": "%s",\n      "exe": "%s",\n'
    fields+='      "args": "%s",\n      "download": "%s"\n    }'
    # shellcheck disable=SC2059 # the format is ours
    entries+=("$(printf "$fields" "$name" "$icon" "$exes" "$tooltip" "$api" "$dir" "$exe" "$args" \
        "$base/downloads/$name.zip")")
}

for repo in "${repos[@]}"; do
    case $repo in
    client)
        # A new build every time the demo is prepared.
        d="$stage/client"
        # The client's program changes with every build, as a game's does: an update has to
        # replace it, also while it runs.
        demo_program "$d/bin/client$suffix" "Veltro client (build $generation)"
        demo_program "$d/bin/settings$suffix" "Veltro settings"
        printf 'Veltro demo client, build %s.\n' "$generation" > "$d/README.txt"
        mkdir -p "$d/data"
        commit_id "4101:$generation" > "$d/data/version.txt"
        printf '*.sh text eol=lf\n' > "$d/.gitattributes"
        history=()
        for ((g = generation; g >= 1 && g > generation - 5; g--)); do history+=("$g"); done
        repository client 4101 client clienticon "-fullscreen  -lang pt" \
            "[\"bin/client$suffix\", \"bin/settings$suffix\"]" '["Jogar", "Configurações"]' \
            "${history[@]}"
        ;;
    moor)
        d="$stage/moor-online"
        demo_program "$d/moor$suffix" "Moor Online"
        mkdir -p "$d/data/realms"
        printf 'north\nsouth\n' > "$d/data/realms/list.txt"
        # 1 MiB of game data, the same in every version (zeros enciphered under a fixed key):
        # what a delta update does not fetch again.
        head -c 1048576 /dev/zero | openssl enc -aes-128-ctr -nosalt -K "$(printf "%032d" 0)" \
            -iv "$(printf "%032d" 0)" > "$d/data/terrain.pak"
        repository moor 4102 moor-online Moor_icon "--realm south" "[\"moor$suffix\"]" \
            '["Moor Online"]' 3 2 1
        ;;
    tools)
        d="$stage/tools"
        demo_program "$d/map-editor$suffix" "Map editor"
        printf 'Veltro map editor (demo).\n' > "$d/README.txt"
        repository tools 4103 tools clienticon "" "[\"map-editor$suffix\"]" '["Editor de mapas"]' 2 1
        ;;
    arena)
        d="$stage/arena"
        demo_program "$d/arena$suffix" "Arena"
        repository arena 4104 arena clienticon "" "[\"arena$suffix\"]" '["Arena"]' 1
        rm "$www/downloads/arena.zip"
        ;;
    *)
        echo "unknown repository: $repo" >&2
        exit 2
        ;;
    esac
done

{
    printf '{\n  "updater_version": "0.2",\n  "background": "%s/kiv/background.jpg",\n' "$base"
    printf '  "repos": [\n'
    for i in "${!entries[@]}"; do
        [ "$i" -eq 0 ] || printf ',\n'
        printf '%s' "${entries[$i]}"
    done
    printf '\n  ]\n}\n'
} > "$www/kiv/updater.json"
chmod -R a+rX "$www"

# --- nginx ------------------------------------------------------------------------------------
bash "$here/scripts/nginx-conf.sh" "$state" "$port"
echo "Demo update server prepared in $state (generation $generation): $base/kiv/updater.json"
