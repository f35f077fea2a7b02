// download: the console front end. One command per line on standard input,
// one framed record per answer on standard error; standard output stays unused.
#include <csignal>
#include <cstdio>

#include "commands.h"
#include "front_state.h"
#include "line_reader.h"
#include "numbers.h"
#include "records.h"
#include "tokenizer.h"

int main() {
    using namespace frontend;
    // A controller that stops reading must not kill us in the middle of a write.
    std::signal(SIGPIPE, SIG_IGN);
    // Never destroyed: the engine's threads hold its address as their context.
    static FrontEndState* fs = new FrontEndState;
    LineReader reader(stdin);
    for (;;) {
        LineStatus st = reader.next();
        if (st == LineStatus::kEnd) {
            reader.release();
            exit_between_records(0);
        }
        if (st == LineStatus::kTooLong) {
            write_error(3);
            continue;
        }
        LineCursor cursor{reader.text(), 0, reader.length()};
        CommandToken tokens[kMaxTokens];
        uint32_t count = 0;
        uint32_t number = 0;
        if (split_command_line(cursor, tokens, &count) != 0 || count == 0 ||
            parse_uint_token(tokens[0], &number, 8) != 0) {
            write_error(3);
            continue;
        }
        if (number == 0) reader.release();
        run_command(*fs, number, tokens, count);
    }
}
