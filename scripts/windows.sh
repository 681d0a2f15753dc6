#!/usr/bin/env bash
# Builds what an operator hands to Windows players, on Debian with MinGW-w64, and tries it under
# Wine against the local demo update server: scripts/windows-build.sh (steps 1 to 4: Qt, the
# program and its player's folder, signatures, the setup and the portable ZIP), then
# scripts/windows-check.sh (steps 5 to 11: the test suite, a silent install, two starts, an update
# while the program runs, a delta update, an uninstall), in one run with one table of step times.
#
# An operator's build: with VELTRO_MANIFEST_URL (and, as needed, VELTRO_WEBSITE_URL and
# VELTRO_EXTRA_CA_FILE, as for CMake) set, the program is built for that manifest address and
# steps 1 to 5 run; the demo run (6 to 11), which needs the demo server's address, is left out.
# VELTRO_WINDOWS_SKIP_TESTS=1 leaves step 5 out. Nothing stays running afterwards.
set -euo pipefail
# shellcheck source=scripts/windows-build.sh
source "$(dirname "${BASH_SOURCE[0]}")/windows-build.sh"
# shellcheck source=scripts/windows-check.sh
source "$(dirname "${BASH_SOURCE[0]}")/windows-check.sh"

main() {
    trap cleanup EXIT
    trap 'exit 130' INT TERM

    step "Packages"
    install_packages

    build_main
    check_main
    step_end
    step_table

    if [ -n "$operator_url" ]; then
        echo "Built for $operator_url: $setup ($(du -k "$setup" | cut -f1) KiB), $zip;" \
            "test suite under Wine: $tests_result. The demo run is left out."
    else
        echo "Setup: $setup ($(du -k "$setup" | cut -f1) KiB); portable ZIP: $zip;" \
            "test suite under Wine: $tests_result"
    fi
    [ "$tests_result" != FAILED ] || fail "the test suite failed under Wine (see $out/tests.log)"
}

# Sourced, it only defines its steps.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
