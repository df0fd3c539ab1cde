#include "core/pairing/qrencode_functions.h"

#include <qrencode.h>

namespace tallowick {

constinit LazyLibrary libqrencode("libqrencode.so.4", "no QR code is drawn");

}  // namespace tallowick

using tallowick::libqrencode;

TALLOWICK_LAZY_FUNCTION(libqrencode, QRcode*, QRcode_encodeInput, (QRinput * input), (input))
TALLOWICK_LAZY_FUNCTION(libqrencode, QRcode*, QRcode_encodeString,
                        (const char* string, int version, QRecLevel level, QRencodeMode hint,
                         int casesensitive),
                        (string, version, level, hint, casesensitive))
TALLOWICK_LAZY_FUNCTION(libqrencode, void, QRcode_free, (QRcode * qrcode), (qrcode))
TALLOWICK_LAZY_FUNCTION(libqrencode, int, QRinput_append,
                        (QRinput * input, QRencodeMode mode, int size, const unsigned char* data),
                        (input, mode, size, data))
TALLOWICK_LAZY_FUNCTION(libqrencode, int, QRinput_appendECIheader,
                        (QRinput * input, unsigned int ecinum), (input, ecinum))
TALLOWICK_LAZY_FUNCTION(libqrencode, void, QRinput_free, (QRinput * input), (input))
TALLOWICK_LAZY_FUNCTION(libqrencode, QRinput*, QRinput_new2, (int version, QRecLevel level),
                        (version, level))
