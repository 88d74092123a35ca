#pragma once

namespace morvex {

// Asks the allocator to keep freed blocks of up to 32 MiB for reuse instead
// of handing them back to the system at once. A batch converts file after
// file of similar size; without this every file's arrays are mapped fresh,
// faulted in page by page and unmapped again, and each unmapping interrupts
// every other processor running a worker. Larger blocks are still returned
// as soon as they are freed. Safe to call more than once.
void keepFreedMemoryForReuse();

} // namespace morvex
