// The fixed removal plan: what one run removes, under which known folder, and in which order.
#pragma once

// The known folder a pass works under; each value is the platform's folder id.
enum BaseFolder {
    UserAppData = 0x001a,    // CSIDL_APPDATA: the current user's roaming application data
    CommonAppData = 0x0023,  // CSIDL_COMMON_APPDATA: application data shared by all users
};

enum StepAction {
    RemoveProductTree,  // remove a folder tree; finding it means a product installation was found
    RemoveTree,         // remove a folder tree
    RemoveFile,         // delete one file, leaving it alone when it is read-only
};

// relativePath is relative to the pass's base folder, components separated by single backslashes.
struct RemovalStep {
    StepAction action;
    const wchar_t* relativePath;
};

struct RemovalPass {
    BaseFolder baseFolder;
    RemovalStep steps[6];
};

// SketchUp 2014's plug-in folder, which every relative path of the plan begins with.
extern const wchar_t PluginsRoot[];

extern const RemovalPass RemovalPlan[4];
