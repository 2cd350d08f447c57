#include "engine/view/RenderConnectionPool.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include <QCoreApplication>

namespace corvane::stream::RenderConnectionPool {

namespace {

// More are made only while views overlap (one going as the next opens); two cover that.
constexpr std::size_t keptAtMost = 2;

struct Kept {
    std::mutex lock;
    std::vector<std::unique_ptr<RenderConnection>> idle;  // under lock
    bool keeping = false;                                 // under lock: the application object is there
};

// Never destroyed: connections still given back as the process ends are not closed after the GL library's
// own teardown.
Kept& kept() {
    static Kept* const instance = new Kept;
    return *instance;
}

// With the application object: its X connection is still open, and the virtual displays of tests too.
void closeKept() {
    std::vector<std::unique_ptr<RenderConnection>> closing;
    {
        std::lock_guard guard(kept().lock);
        kept().keeping = false;
        closing.swap(kept().idle);
    }
}

}  // namespace

void GiveBack::operator()(RenderConnection* connection) const {
    std::unique_ptr<RenderConnection> given(connection);
    given->release();
    std::unique_ptr<RenderConnection> closing;
    {
        std::lock_guard guard(kept().lock);
        if (!kept().keeping) {
            closing = std::move(given);
        } else {
            kept().idle.push_back(std::move(given));
            if (kept().idle.size() > keptAtMost) {
                closing = std::move(kept().idle.front());
                kept().idle.erase(kept().idle.begin());
            }
        }
    }
    // Closed outside the lock: closing talks to the X server.
}

Held take(const QOpenGLContext& qtContext, WId window, RenderConnection::Refusal* refusal) {
    std::vector<std::unique_ptr<RenderConnection>> idle;
    {
        std::lock_guard guard(kept().lock);
        idle.swap(kept().idle);
        if (!kept().keeping && QCoreApplication::instance()) {
            kept().keeping = true;
            qAddPostRoutine(closeKept);
        }
    }
    // Looked at outside the lock: asking whether one suits talks to the X server.
    Held taken;
    for (auto& connection : idle) {
        if (!taken && connection->suits(qtContext, window) && connection->makeCurrent(window)) {
            taken.reset(connection.release());
        }
    }
    std::erase(idle, nullptr);
    if (!idle.empty()) {
        std::lock_guard guard(kept().lock);
        if (kept().keeping) {
            for (auto& connection : idle) kept().idle.push_back(std::move(connection));
            idle.clear();
        }
    }
    if (taken) return taken;
    return Held(RenderConnection::open(qtContext, window, refusal).release());
}

}  // namespace corvane::stream::RenderConnectionPool
