// Framed serial links, one per device opened in download mode.
#pragma once

#include <cstddef>

// Loop thread: links still in the link list.
size_t ethos_link_count();
