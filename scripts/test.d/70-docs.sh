# The documentation site, built strictly (scripts/docs): a broken link or anchor, a page
# missing from the navigation, a reference to a name the stubs do not have, or an example
# it includes that is gone fails the stage. Needs no built module.
set -euo pipefail
scripts/docs
