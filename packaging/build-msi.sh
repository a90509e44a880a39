#!/usr/bin/env bash
# Builds the installer package from ZeltAgentSvc.wxs with wixl, then adds
# with msibuild what wixl cannot express.
# Usage: build-msi.sh VERSION STAGE-DIR OUTPUT.msi
#   STAGE-DIR holds the stripped ZeltAgentSvc.exe, ZeltDemoAgent.exe and
#   ZeltSetupActions.dll.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version=$1
stage=$2
output=$(realpath -m "$3")
work="$output.part"
rm -f "$work"

# wixl finds the sources relative to the working directory.
(cd "$stage" && wixl -D Version="$version" -D StageDir=. -D ActionsDll=ZeltSetupActions.dll \
  -o "$work" "$here/ZeltAgentSvc.wxs")

query() { msibuild "$work" -q "$1"; }
# The instance feature (the kept number, the service's start and stop) only
# with an instance number.
msibuild "$work" -i "$here/Condition.idt"
# An older version is removed before anything is installed, right after
# InstallValidate; wixl would place it after the files.
query "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1401 WHERE \`Action\` = 'RemoveExistingProducts'"
# The instance properties reach the installation also where only secure
# public properties do (managed and elevated installations).
query "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;PORT;AGENT;CMD;NUM;ZELTKEPTNUM' WHERE \`Property\` = 'SecureCustomProperties'"
# The key of the kept instance goes with the instance.
query "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('KeptNumberKey', 2, 'Software\\ZeltAgentSvc', '-', 'Instance')"
mv "$work" "$output"
