#!/bin/bash
# Boots the template prefix the end-to-end tests copy (ctest runs this once,
# before them). Reuses a template booted earlier by the same Wine.
source "$(dirname "$0")/lib.sh"
E2E_NAME=template
trap '_e2e_on_error $? $LINENO "$BASH_COMMAND"' ERR
e2e_make_template
e2e_log "template prefix ready: $E2E_TEMPLATE"
