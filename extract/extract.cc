#include "extract/extract.h"

// Placeholder until extraction lands.
int extract_archive(const char*, const char*) { return EXTRACT_ERR_OPEN; }
int create_directory_path(const char*) { return 0; }
void set_file_times(const char*, const std::tm&) {}
