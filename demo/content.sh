# shellcheck shell=bash
# Sourced by demo/prepare.sh and demo/second-version.sh: the demo server's commit ids, its
# GitLab-shaped commit lists and its archives, written once. The caller sets base (the server's
# https://127.0.0.1:PORT).

# The time every archive entry carries (2025-12-01 00:00 UTC).
archive_time=1764547200

commit_id() { printf '%s' "$1" | sha1sum | cut -c1-40; }

# commits id generations...: a GitLab commit list, newest first.
commits() {
    local id=$1 first=1 g
    shift
    printf '['
    for g in "$@"; do
        local sha when
        sha=$(commit_id "$id:$g")
        when=$(date -u -d "@$((archive_time + g * 86400))" +%Y-%m-%dT%H:%M:%S.000+00:00)
        [ $first -eq 1 ] || printf ','
        first=0
        local parent=""
        [ "$g" -le 1 ] || parent="\"$(commit_id "$id:$((g - 1))")\""
        printf '\n  {"id": "%s", "short_id": "%s", "created_at": "%s", "parent_ids": [%s],' \
            "$sha" "${sha:0:8}" "$when" "$parent"
        printf ' "title": "Demo build %s", "message": "Demo build %s\\n",' "$g" "$g"
        printf ' "author_name": "Veltro Staff", "author_email": "staff@veltro.example",'
        printf ' "authored_date": "%s", "committer_name": "Veltro Staff",' "$when"
        printf ' "committer_email": "staff@veltro.example", "committed_date": "%s",' "$when"
        printf ' "trailers": {}, "web_url": "%s/demo/%s/-/commit/%s"}' "$base" "$id" "$sha"
    done
    printf '\n]\n'
}

# pack_archive STAGE DIR ARCHIVE: STAGE/DIR as a ZIP archive, written beside ARCHIVE and renamed
# over it, so that the server never serves half of one and its ETag changes. A file that did not
# change between two versions must be packed byte for byte as before, for delta updates to leave
# it alone: bsdtar packs from an mtree list, in name order, every entry with the same time and
# owner, instead of taking times from the disk, which change whenever the stage is written or
# read (the ZIP's time field holds the access and change times too).
pack_archive() {
    local stage=$1 dir=$2 archive=$3 list
    list=$(mktemp)
    {
        echo '#mtree'
        echo "/set uid=0 gid=0 time=$archive_time"
        (cd "$stage" && find "$dir" \( -type d -printf '%p type=dir mode=%m\n' \) -o \
            \( -type f -printf '%p type=file mode=%m contents=%p\n' \)) | LC_ALL=C sort
    } > "$list"
    # mtree would need names with other characters escaped; the demo's have none.
    if grep -v '^[#/]' "$list" | cut -d' ' -f1 | grep -q '[^A-Za-z0-9._/-]'; then
        echo "pack_archive: a name under $stage/$dir needs characters mtree escapes" >&2
        rm -f "$list"
        return 1
    fi
    (cd "$stage" && bsdtar --format zip -cf "$archive.tmp" "@$list")
    rm -f "$list"
    mv -f "$archive.tmp" "$archive"
}
