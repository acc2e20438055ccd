#!/usr/bin/env bash
# Prints the Debian mirror that apt on this machine is configured with for the machine's own
# release (or, failing that, for the first release it lists), as apt itself reports it.
set -euo pipefail
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
targets=$(apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' \
          'Created-By: Packages')
awk -v want="$codename" '
    $1 == want { print $2; found = 1; exit }
    $1 !~ /-/ && !first { first = $2 }
    END { if (!found && first) print first }' <<<"$targets"
