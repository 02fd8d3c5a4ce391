// Running the model's tasks on the UI thread, through the Qt event loop,
// from the first moment of the process on.
#pragma once

#include "DiagnosticsViewModel.h"

#include <functional>
#include <memory>

namespace kelvane {

// Hands tasks to the thread that made it (the UI thread), in the order they
// come, from any thread. It can be made before the application object, so
// that work started at once reports back: tasks handed in until attach()
// wait, and go to the event loop then. Once the application quits, or the
// receiver attach() made is gone, tasks are dropped instead of reaching a
// torn-down application.
class UIThreadExecutor {
public:
    UIThreadExecutor();

    // The poster of tasks, and whether a caller is on the UI thread: the
    // model's `onUIThread` and `isUIThread`.
    Executor post() const;
    std::function<bool()> isUIThread() const;

    // Joins the event loop of the QCoreApplication, which must exist; call
    // on the UI thread. Tasks that waited follow, in order.
    void attach();

    // Runs now, without waiting for the event loop, the tasks that have
    // reached it, and the calls they queue on this thread in turn (a model
    // change, the redraw it asks for).
    void runArrived();

private:
    struct Gate;
    std::shared_ptr<Gate> gate_;
};

} // namespace kelvane
