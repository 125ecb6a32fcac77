// The removal plan's own invariants: what keeps it safe to run whatever the run does with it.
#include "plan/removal_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// Every step stays inside the host's plug-in folder, and a pass opens with its one product folder.
TEST(RemovalPlanTest, EveryStepStaysInsideThePluginFolder) {
    const std::wstring root = std::wstring(PluginsRoot) + L"\\";
    for (const RemovalPass& pass : RemovalPlan) {
        EXPECT_EQ(pass.steps[0].action, RemoveProductTree);
        for (const RemovalStep& step : pass.steps) {
            const std::wstring path = step.relativePath;
            EXPECT_EQ(path.compare(0, root.size(), root), 0) << path.c_str();
            EXPECT_GT(path.size(), root.size());
            EXPECT_NE(path.back(), L'\\');
            for (std::size_t start = 0; start < path.size();) {
                const std::size_t end = std::min(path.find(L'\\', start), path.size());
                const std::wstring component = path.substr(start, end - start);
                EXPECT_TRUE(!component.empty() && component != L"." && component != L"..") << path.c_str();
                start = end + 1;
            }
            if (&step != &pass.steps[0]) {
                EXPECT_NE(step.action, RemoveProductTree);
            }
        }
    }
}

}  // namespace
