// The removal plan, exactly: which passes, under which known folders, which steps in which order.
#include "plan/removal_plan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RemovalPlanTest, PlanIsExactlyTheFourPassesOfSixSteps) {
    struct Step {
        StepAction action;
        const wchar_t* afterPluginsRoot;
    };
    struct Pass {
        BaseFolder baseFolder;
        Step steps[6];
    };
    const Pass expected[4] = {
        {UserAppData,
         {{RemoveProductTree, L"SU_Varnok_V2"}, {RemoveFile, L"SU_Varnok_V2.rbs"},
          {RemoveFile, L"SU_Varnok_Section_Tool.rb"}, {RemoveFile, L"varnok_tools.rbs"},
          {RemoveFile, L"SU_Varnok_V2\\plug_in\\varnok_tools.rbs"}, {RemoveTree, L"Veltrix_Section"}}},
        {CommonAppData,
         {{RemoveProductTree, L"SU_Varnok_V2"}, {RemoveFile, L"SU_Varnok_V2.rbs"},
          {RemoveFile, L"SU_Varnok_Section_Tool.rb"}, {RemoveTree, L"Veltrix_Section"},
          {RemoveFile, L"varnok_tools.rbs"}, {RemoveFile, L"SU_Varnok_V2\\plug_in\\varnok_tools.rbs"}}},
        {CommonAppData,
         {{RemoveProductTree, L"SU_Varnok_V2.5"}, {RemoveFile, L"SU_Varnok_V2.5.rbs"},
          {RemoveFile, L"SU_Varnok_Section_Tool.rb"}, {RemoveTree, L"Veltrix_Section"},
          {RemoveFile, L"varnok_tools.rbs"}, {RemoveFile, L"SU_Varnok_V2.5\\plug_in\\varnok_tools.rbs"}}},
        {UserAppData,
         {{RemoveProductTree, L"SU_Varnok_V2.5"}, {RemoveFile, L"SU_Varnok_V2.5.rbs"},
          {RemoveFile, L"SU_Varnok_Section_Tool.rb"}, {RemoveTree, L"Veltrix_Section"},
          {RemoveFile, L"varnok_tools.rbs"}, {RemoveFile, L"SU_Varnok_V2.5\\plug_in\\varnok_tools.rbs"}}},
    };
    EXPECT_EQ(std::wstring(PluginsRoot), L"SketchUp\\SketchUp 2014\\SketchUp\\Plugins");
    for (int pass = 0; pass < 4; ++pass) {
        EXPECT_EQ(RemovalPlan[pass].baseFolder, expected[pass].baseFolder) << "pass " << pass + 1;
        for (int step = 0; step < 6; ++step) {
            const RemovalStep& actual = RemovalPlan[pass].steps[step];
            EXPECT_EQ(actual.action, expected[pass].steps[step].action) << "pass " << pass + 1 << ", step " << step + 1;
            EXPECT_EQ(std::wstring(actual.relativePath),
                      std::wstring(PluginsRoot) + L"\\" + expected[pass].steps[step].afterPluginsRoot)
                << "pass " << pass + 1 << ", step " << step + 1;
        }
    }
}

}  // namespace
