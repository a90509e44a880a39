// What the installer package's custom actions ask of the system they run on,
// beside the installer itself.
#pragma once

// True under Wine, whose ntdll exports wine_get_version (Windows's does not):
// the package's workarounds for Wine's installer run only there.
bool IsRunningOnWine();

// True when the DisableRollback policy (the machine's or the user's) is set:
// Windows Installer then runs no rollback or commit action.
bool IsRollbackDisabledByPolicy();
