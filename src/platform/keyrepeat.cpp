#include "keyrepeat.h"

#include <QGuiApplication>

#if POCKO_HAVE_XCB_XKB && QT_CONFIG(xcb)
#include <xcb/xcb.h>
// The XKB header names a struct member "explicit", a keyword in C++.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <cstdint>
#include <cstdlib>
#include <memory>
#endif

namespace pocko {

#if POCKO_HAVE_XCB_XKB && QT_CONFIG(xcb)

namespace {

struct FreeReply
{
    void operator()(void *reply) const { std::free(reply); }
};

template<typename Reply> using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

} // namespace

bool enableDetectableKeyRepeat()
{
    const auto *x11
        = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    const xcb_query_extension_reply_t *xkb = xcb_get_extension_data(connection, &xcb_xkb_id);
    if (!xkb || !xkb->present)
        return false;
    // An error is taken here rather than left for the application's error log.
    xcb_generic_error_t *error = nullptr;
    // The server refuses every other XKB request of a client that has not announced its version.
    const ReplyPtr<xcb_xkb_use_extension_reply_t> version(
        xcb_xkb_use_extension_reply(connection, xcb_xkb_use_extension(connection, 1, 0), &error));
    std::free(error);
    if (!version || !version->supported)
        return false;
    const std::uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    const auto request
        = xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0);
    error = nullptr;
    const ReplyPtr<xcb_xkb_per_client_flags_reply_t> flags(
        xcb_xkb_per_client_flags_reply(connection, request, &error));
    std::free(error);
    return flags && (flags->value & flag) != 0;
}

#else

bool enableDetectableKeyRepeat()
{
    return false;
}

#endif

} // namespace pocko
