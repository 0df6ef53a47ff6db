#include "app/CommandScope.h"

#include <utility>
#include <vector>

#include "app/KIVO.h"

namespace {

struct ScopeState {
    int depth = 0;
    std::vector<std::function<void()>> deferred;
};
thread_local ScopeState scope;

}  // namespace

CommandScope::CommandScope() {
    ++scope.depth;
    KIVO::HoldConsoleLines();
}

CommandScope::~CommandScope() {
    if (scope.depth == 1) {
        // The kept actions run while the console lines are still held, so lines they write join
        // the one hand-off below; actions they keep in turn run too.
        while (!scope.deferred.empty()) {
            std::vector<std::function<void()>> actions;
            actions.swap(scope.deferred);
            for (auto& action : actions) {
                try {
                    action();
                } catch (...) {
                    // One failing action must not keep the others or the console lines back.
                }
            }
        }
    }
    --scope.depth;
    KIVO::ReleaseConsoleLines();
}

bool CommandScope::open() { return scope.depth > 0; }

bool CommandScope::defer(std::function<void()> action) {
    if (scope.depth == 0) return false;
    scope.deferred.push_back(std::move(action));
    return true;
}
