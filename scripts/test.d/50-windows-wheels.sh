# The Windows wheels from the cross-built modules, checked as a package index would.
set -euo pipefail
scripts/windows-wheels
