#!/usr/bin/env bash
# Builds the installer package from ZeltAgentSvc.wxs with wixl, then sets
# with msibuild what wixl cannot express or gets wrong.
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
sequence_of() {  # action
  msiinfo export "$work" InstallExecuteSequence | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $3 }'
}

# The custom actions' types, bit by bit: 1 a function in a DLL from the
# Binary table, 51 a property set from formatted text; 0x400 in the
# installation script (deferred), 0x100 with it only on rollback, 0x800 not
# impersonating (the local system account), 0x40 its result ignored. wixl
# drops 0x400 | 0x100 (0x200) for rollback (commit) actions and marks
# immediate DLL actions 0x800.
set_type() { query "UPDATE \`CustomAction\` SET \`Type\` = $2 WHERE \`Action\` = '$1'"; }
set_type PrepareInstances 1
set_type KeepUpgradeRegistration $((1 | 0x40))
set_type SetInstallLocation 51
for action in StopInstances RemoveInstances InstallInstances; do
  set_type "$action" $((1 | 0x400 | 0x800))
done
for action in RollbackStopInstances RollbackRemoveInstances RollbackInstallInstances; do
  set_type "$action" $((1 | 0x400 | 0x100 | 0x800 | 0x40))
done
# 0x200 with 0x400: only once the installation has succeeded (commit).
set_type DiscardPreviousFiles $((1 | 0x400 | 0x200 | 0x800 | 0x40))

# An older version, or a rebuild of the same version, is removed after the
# new one is installed: a failed installation rolls back to it untouched.
finalize=$(sequence_of InstallFinalize)
query "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = $((finalize + 1)) WHERE \`Action\` = 'RemoveExistingProducts'"
query "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = $((finalize + 2)) WHERE \`Action\` = 'KeepUpgradeRegistration'"
# The same version counts as older (0x200: the maximum version included;
# 0x1 moves the feature states over); a newer one stays refused.
# (Attributes is part of the row's key: the row is written anew.)
upgrade_code=$(msiinfo export "$work" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
query "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
query "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', $((0x1 | 0x200)), 'WIX_UPGRADE_DETECTED')"

# The host's file version from its version resource (VS_FIXEDFILEINFO, after
# its signature 0xFEEF04BD: the structure's version, then the file version's
# high and low double words), so that a repair leaves a file of the same
# version alone. A versioned file carries no hash.
file_version() {  # program
  local offset words
  offset=$(LC_ALL=C grep -obUaP '\xBD\x04\xEF\xFE' "$1" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || return 0
  read -r -a words <<<"$(od -An -tu2 -j $((offset + 8)) -N8 "$1")"
  echo "${words[1]}.${words[0]}.${words[3]}.${words[2]}"
}
host_version=$(file_version "$stage/ZeltAgentSvc.exe")
[ -n "$host_version" ] || { echo "build-msi.sh: ZeltAgentSvc.exe has no version resource" >&2; exit 1; }
query "UPDATE \`File\` SET \`Version\` = '$host_version' WHERE \`File\` = 'HostExe'"
query "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'HostExe'"

# The instance properties reach the installation also where only secure
# public properties do (managed and elevated installations).
query "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;PORT;AGENT;CMD;NUM;OUTPUT;OUTPUTSIZE;OUTPUTKEEP;PROBE' WHERE \`Property\` = 'SecureCustomProperties'"
mv "$work" "$output"
