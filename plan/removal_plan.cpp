// The removal plan as constant data: V2 under both known folders, then V2.5 under both.
#include "removal_plan.h"

const wchar_t PluginsRoot[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins";

namespace {

const wchar_t V2Folder[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\SU_Varnok_V2";
const wchar_t V2Loader[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\SU_Varnok_V2.rbs";
const wchar_t V2InnerTools[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\SU_Varnok_V2\\plug_in\\varnok_tools.rbs";
const wchar_t V25Folder[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\SU_Varnok_V2.5";
const wchar_t V25Loader[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\SU_Varnok_V2.5.rbs";
const wchar_t V25InnerTools[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\SU_Varnok_V2.5\\plug_in\\varnok_tools.rbs";
const wchar_t SectionTool[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\SU_Varnok_Section_Tool.rb";
const wchar_t ToolsFile[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\varnok_tools.rbs";
const wchar_t CompanionFolder[] = L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins\\Veltrix_Section";

}  // namespace

// Pass 1 removes the companion folder last; the other passes remove it fourth.
const RemovalPass RemovalPlan[4] = {
    {UserAppData,
     {{RemoveProductTree, V2Folder},
      {RemoveFile, V2Loader},
      {RemoveFile, SectionTool},
      {RemoveFile, ToolsFile},
      {RemoveFile, V2InnerTools},
      {RemoveTree, CompanionFolder}}},
    {CommonAppData,
     {{RemoveProductTree, V2Folder},
      {RemoveFile, V2Loader},
      {RemoveFile, SectionTool},
      {RemoveTree, CompanionFolder},
      {RemoveFile, ToolsFile},
      {RemoveFile, V2InnerTools}}},
    {CommonAppData,
     {{RemoveProductTree, V25Folder},
      {RemoveFile, V25Loader},
      {RemoveFile, SectionTool},
      {RemoveTree, CompanionFolder},
      {RemoveFile, ToolsFile},
      {RemoveFile, V25InnerTools}}},
    {UserAppData,
     {{RemoveProductTree, V25Folder},
      {RemoveFile, V25Loader},
      {RemoveFile, SectionTool},
      {RemoveTree, CompanionFolder},
      {RemoveFile, ToolsFile},
      {RemoveFile, V25InnerTools}}},
};
