// The one symbol libtallowick-media.so exports: the table the programs call
// through (see core/thumbs/media_module.h). Everything else in the object is
// hidden, so its code never mixes with a program's own copies.

#include "core/media/picture_codec.h"
#include "core/media/picture_hash.h"
#include "core/media/vips_setup.h"
#include "core/thumbs/media_module.h"

extern "C" __attribute__((visibility("default"))) const tallowick::MediaFunctions*
tallowick_media_functions() {
  using namespace tallowick;
  static const MediaFunctions table{
      .version = MediaFunctions::kVersion,
      .startVips = &media::startVips,
      .endVipsThread = &media::endVipsThread,
      .imageThumbnail = &media::imageThumbnail,
      .videoFrame = &media::videoFrame,
      .encodeHEIC = &media::encodeHEIC,
      .decodeHEIC = &media::decodeHEIC,
      .pictureHash = &media::pictureHash,
  };
  return &table;
}
