#include "ui/ui.hpp"

namespace vr {

int32_t checkstop(MsgBuf& buf) {
    int32_t result = 0;
    int32_t type = 0;
    Message record{};
    do {
        WMessagePeek(type, record);
        if (type == msg_close || record[1] == 1012) {
            put_text(buf, "Abort requested...write not finished.");
            result = 1;
        }
    } while (type != msg_none);
    return result;
}

}  // namespace vr
