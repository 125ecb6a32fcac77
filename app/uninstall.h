// The uninstall run: the removal plan carried out, then the report.
#pragma once

// Works through every pass of the removal plan, acting only on paths it composed in full and could
// trust (docs/safety.md), then shows the one modal message box and returns once the user has closed it.
void RunUninstall();
