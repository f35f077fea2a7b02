// Framed records on standard error: FF key FC value {FD field} FE, line end.
// Every record leaves in one write under one lock, so records from the main
// thread, the engine's loop thread and the outside library's threads never mix.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace frontend {

struct RecordField {
    RecordField(uint32_t n) : is_number(true), number(n) {}
    RecordField(std::string_view t) : text(t) {}
    bool is_number = false;
    uint32_t number = 0;
    std::string_view text;
};

void write_result(uint32_t code);
void write_result(uint32_t code, std::initializer_list<RecordField> fields);
void write_error(uint32_t code);
void write_info(std::string_view tag, std::initializer_list<RecordField> fields);

// Ends the process without static destructors (the engine's threads may still
// run), never in the middle of a record.
[[noreturn]] void exit_between_records(int status);

}  // namespace frontend
