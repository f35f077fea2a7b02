#include "commands.h"

#include "boot_loader.h"
#include "engine_calls.h"
#include "library_binding.h"
#include "records.h"

namespace frontend {

void run_command(FrontEndState& fs, uint32_t number, const CommandToken* tokens, uint32_t count) {
    // An argument that the line does not have is an empty token.
    const CommandToken none;
    const CommandToken& arg1 = count > 1 ? tokens[1] : none;
    const CommandToken& arg2 = count > 2 ? tokens[2] : none;
    switch (number) {
        case 0:
            exit_between_records(0);
        case 1:
            write_result(0, {fs.state});
            break;
        case 2:
            load_libraries(fs);
            write_result(0);
            break;
        case 3:
            write_result(command_read_blf(fs, arg1));
            break;
        case 4:
            write_result(command_prepare_upload(fs, arg1, arg2));
            break;
        case 5:
            command_start_boot_loader(fs);
            break;
        case 6:
            command_call_engine(fs, arg1, arg2);
            break;
        case 7:
            fs.state = kStateIdle;
            write_result(0);
            break;
        case 8:
            unload_libraries(fs);
            fs.state = kStateIdle;
            write_result(0);
            break;
        default:
            write_error(3);
            break;
    }
}

}  // namespace frontend
