// Usage texts on standard output; each ends the run with status 1.
#pragma once

[[noreturn]] void fip_usage_global();
[[noreturn]] void fip_usage_info();
[[noreturn]] void fip_usage_create();
[[noreturn]] void fip_usage_update();
[[noreturn]] void fip_usage_unpack();
[[noreturn]] void fip_usage_remove();
[[noreturn]] void fip_usage_version();
