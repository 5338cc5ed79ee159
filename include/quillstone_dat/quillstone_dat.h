// The whole public interface of the library.

#ifndef QUILLSTONE_DAT_QUILLSTONE_DAT_H_
#define QUILLSTONE_DAT_QUILLSTONE_DAT_H_

#include "quillstone_dat/archive_check.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_editor.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"
#include "quillstone_dat/file_table.h"
#include "quillstone_dat/io_error.h"
#include "quillstone_dat/lrs.h"
#include "quillstone_dat/portal_dat_path.h"
#include "quillstone_dat/resource_provider.h"

#endif  // QUILLSTONE_DAT_QUILLSTONE_DAT_H_
