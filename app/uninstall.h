// The uninstall run: the removal plan carried out, then the report.
#pragma once

// Works through every pass of the removal plan, then shows the one modal message box and returns once
// the user has closed it. Before anything else it has DLLs loaded from the system folder only and asks
// Windows not to follow junctions others made. It never acts on a path it could not compose in full,
// nor below a known folder that is not absolute, nor through a link on the way to a target that another
// user could have planted.
void RunUninstall();
