#ifndef TESTING_ENTRY_POINTS_H_
#define TESTING_ENTRY_POINTS_H_

#include <string>

#include "payload/carve.h"

// Path-based doors into the stub's descriptor-based steps, for tests, fuzzers and benchmarks:
// each opens what it is given and runs the step as the launch sequence runs it.

/// Opens `self_path` and the directory `work_root`, then prepare_carve, copy_archive and
/// report_copy, as a launch does (the copy on the calling thread). `self_path` that cannot be
/// opened is handed on as descriptor -1 with its errno.
int carve_archive(const std::string& self_path, const std::string& work_root, CarveResult& result);

/// extract_archive of the whole file `archive_path` into the directory `destination`, both
/// opened here: EXTRACT_ERR_OPEN when the file cannot be opened or is no ZIP archive, and
/// "Error changing into %s, aborting" with EXTRACT_ERR_CHDIR when the directory cannot be.
int extract_archive(const char* archive_path, const char* destination);

#endif  // TESTING_ENTRY_POINTS_H_
