#include "engine_calls.h"

#include <memory>
#include <string_view>

#include "numbers.h"
#include "records.h"

namespace frontend {

namespace {

// The functions a sub-code needs; an unbound one is answered like a missing
// library instead of being called.
bool bound_for(const EngineFunctions& e, uint32_t sub_code) {
    switch (sub_code) {
        case 0: return e.engine_init && e.engine_register_cb && e.download_init;
        case 1: return e.download_start != nullptr;
        default: return e.download_enable_device != nullptr;
    }
}

}  // namespace

void command_call_engine(FrontEndState& fs, const CommandToken& sub_token,
                         const CommandToken& text_token) {
    if (!fs.engine_lib || (fs.state != kStateIdle && fs.state != kStateEngine))
        return write_result(2);
    uint32_t sub_code = 0;
    if (parse_uint_token(sub_token, &sub_code, 2) != 0) return write_result(3);
    if (!bound_for(fs.engine, sub_code)) return write_result(2);

    std::unique_ptr<uint8_t[]> bytes(new uint8_t[text_token.length + 1]);
    uint32_t n = hex_decode(text_token.start, text_token.length, bytes.get());
    bytes[n] = 0;
    const char* text = reinterpret_cast<const char*>(bytes.get());

    // Events that the engine sends while we are inside it are not relayed.
    fs.busy.store(true);
    int rc;
    if (sub_code == 0) {
        fs.engine.engine_init();
        fs.engine.engine_register_cb(&on_engine_event, &fs);
        rc = fs.engine.download_init(text);
    } else if (sub_code == 1) {
        rc = fs.engine.download_start(text);
    } else {
        rc = fs.engine.download_enable_device(text);
    }
    if (rc == 0) {
        write_result(0);
        fs.state = kStateEngine;
    } else {
        write_result(6);
    }
    fs.busy.store(false);
}

void on_engine_event(const char* json, void* context) {
    auto* fs = static_cast<FrontEndState*>(context);
    if (!json || !fs) return;
    if (!fs->busy.load()) write_info("QUR5201", {RecordField(std::string_view(json))});
    // Noted also inside a call (a start's event 2 may come then), and after the
    // relay, so that an unload waiting for the stop answers after its event.
    engine_run_note(fs->run, json);
}

}  // namespace frontend
