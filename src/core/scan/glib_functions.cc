#include "core/scan/glib_functions.h"

#include <gio/gio.h>
#include <glib.h>

namespace tallowick {

constinit LazyLibrary libglib(
    "libglib-2.0.so.0", "names are lowered in ASCII only and no \"last opened\" date is read");

constinit LazyLibrary libgio("libgio-2.0.so.0", "files are not classified by their content type");

}  // namespace tallowick

using tallowick::libgio;
using tallowick::libglib;

TALLOWICK_LAZY_FUNCTION(libglib, gint, g_date_time_get_microsecond, (GDateTime * datetime),
                        (datetime))
TALLOWICK_LAZY_FUNCTION(libglib, GDateTime*, g_date_time_new_from_iso8601,
                        (const gchar* text, GTimeZone* default_tz), (text, default_tz))
TALLOWICK_LAZY_FUNCTION(libglib, gint64, g_date_time_to_unix, (GDateTime * datetime), (datetime))
TALLOWICK_LAZY_FUNCTION(libglib, void, g_date_time_unref, (GDateTime * datetime), (datetime))
TALLOWICK_LAZY_FUNCTION(libglib, void, g_error_free, (GError * error), (error))
TALLOWICK_LAZY_FUNCTION(libglib, gboolean, g_file_get_contents,
                        (const gchar* filename, gchar** contents, gsize* length, GError** error),
                        (filename, contents, length, error))
TALLOWICK_LAZY_FUNCTION(libglib, gchar*, g_filename_from_uri,
                        (const gchar* uri, gchar** hostname, GError** error),
                        (uri, hostname, error))
TALLOWICK_LAZY_FUNCTION(libglib, void, g_free, (gpointer mem), (mem))
TALLOWICK_LAZY_FUNCTION(libglib, const gchar* const*, g_get_system_data_dirs, (void), ())
TALLOWICK_LAZY_FUNCTION(libglib, const gchar*, g_get_user_data_dir, (void), ())
TALLOWICK_LAZY_FUNCTION(libglib, gboolean, g_markup_parse_context_end_parse,
                        (GMarkupParseContext * context, GError** error), (context, error))
TALLOWICK_LAZY_FUNCTION(libglib, void, g_markup_parse_context_free, (GMarkupParseContext * context),
                        (context))
TALLOWICK_LAZY_FUNCTION(libglib, GMarkupParseContext*, g_markup_parse_context_new,
                        (const GMarkupParser* parser, GMarkupParseFlags flags, gpointer user_data,
                         GDestroyNotify user_data_dnotify),
                        (parser, flags, user_data, user_data_dnotify))
TALLOWICK_LAZY_FUNCTION(libglib, gboolean, g_markup_parse_context_parse,
                        (GMarkupParseContext * context, const gchar* text, gssize text_len,
                         GError** error),
                        (context, text, text_len, error))
TALLOWICK_LAZY_FUNCTION(libglib, gchar*, g_utf8_strdown, (const gchar* str, gssize len), (str, len))
TALLOWICK_LAZY_FUNCTION(libglib, gboolean, g_utf8_validate,
                        (const gchar* str, gssize max_len, const gchar** end), (str, max_len, end))

TALLOWICK_LAZY_FUNCTION(libgio, gchar*, g_content_type_guess,
                        (const gchar* filename, const guchar* data, gsize data_size,
                         gboolean* result_uncertain),
                        (filename, data, data_size, result_uncertain))
TALLOWICK_LAZY_FUNCTION(libgio, gboolean, g_content_type_is_a,
                        (const gchar* type, const gchar* supertype), (type, supertype))
TALLOWICK_LAZY_FUNCTION(libgio, gboolean, g_content_type_is_unknown, (const gchar* type), (type))
