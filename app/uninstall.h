// The uninstall run: the removal plan carried out, then the report.
#pragma once

// Works through every pass of the removal plan, then shows the one message box that says whether a
// product installation was found, and returns once the user has closed it. Never acts on a path that
// could not be composed in full, nor below a known folder that is not absolute, nor through a link
// below the shared folder or below the user's plug-in folder.
void RunUninstall();
