/* Compiled as C99: the public header must serve C programs. */
#include "clipvane.h"

#include <string.h>

int clipvane_c_interface_check(void) {
  clipvane_container *container = 0;
  clipvane_header header;
  clipvane_record record;
  int failures = 0;
  memset(&header, 0, sizeof header);
  memset(&record, 0, sizeof record);
  if (clipvane_version() != CLIPVANE_VERSION) ++failures;
  if (clipvane_open_file("/nonexistent/movie.qkds", &container) != CLIPVANE_ERROR_IO || container != 0) ++failures;
  if (clipvane_get_header(container, &header) != CLIPVANE_ERROR_ARGUMENT) ++failures;
  if (clipvane_next_record(container, &record) != CLIPVANE_ERROR_ARGUMENT) ++failures;
  if (clipvane_error_string(CLIPVANE_ERROR_AUDIO_LAYOUT) == 0) ++failures;
  clipvane_close(container);
  return failures;
}
