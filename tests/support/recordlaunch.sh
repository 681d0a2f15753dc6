#!/bin/sh
# Started by the launcher in tests: records its working directory and then each argument in
# brackets, one a line, so the test sees exactly how it was started. Written aside and moved, so
# the test never reads half a record.
out="$(pwd -P)/launch-record.txt"
{
    pwd -P
    for argument in "$@"; do
        printf '[%s]\n' "$argument"
    done
} > "$out.part" && mv "$out.part" "$out"
