#include "app/CommandScope.h"

#include <memory>
#include <utility>
#include <vector>

#include "app/KIVO.h"

namespace {

// Trivially destructible, like every thread-local of the program (see the console's HeldLines): the
// kept actions are on the heap only while a command is under way.
struct ScopeState {
    int depth = 0;
    std::vector<std::function<void()>>* deferred = nullptr;
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
        while (scope.deferred != nullptr) {
            const std::unique_ptr<std::vector<std::function<void()>>> actions(std::exchange(scope.deferred, nullptr));
            for (auto& action : *actions) {
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
    if (scope.deferred == nullptr) scope.deferred = new std::vector<std::function<void()>>;
    scope.deferred->push_back(std::move(action));
    return true;
}
