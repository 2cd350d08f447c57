#pragma once

#include <memory>

#include <QWindow>

#include "engine/view/RenderConnection.hpp"

class QOpenGLContext;

namespace corvane::stream {

// The render connections of the process, kept from one view to the next. Each opening of the stream window
// makes a new view; were each to open an X connection of its own, each would bring up a GL screen of its own
// as well (with a software rasteriser, a dozen driver threads and the memory their allocator keeps after
// them), and the process would grow with every opening. So a view's render thread takes a connection from
// here when its GL first meets a window, and gives it back when it lets go of its windows; the next view
// takes the same one. Connections given back are closed when the application object goes, or at once when
// given back after that.
//
// Any thread; a connection is used by the thread that took it until it gives it back.
namespace RenderConnectionPool {

// Gives a connection back, nothing current on the thread any more.
struct GiveBack {
    void operator()(RenderConnection* connection) const;
};
using Held = std::unique_ptr<RenderConnection, GiveBack>;

// A connection drawing like `qtContext` (current on this thread) into `window`, current there: one given
// back earlier that suits them, else a new one. Null where none can be made, saying why in `refusal` when
// given (see RenderConnection::open).
Held take(const QOpenGLContext& qtContext, WId window, RenderConnection::Refusal* refusal = nullptr);

}  // namespace RenderConnectionPool

}  // namespace corvane::stream
