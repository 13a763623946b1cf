// Pillow's Jpeg plugin, as far as the size scan mirrors it.
#pragma once

namespace pretrain {

// Where the opening code differs between the releases listed, one field
// per difference (set by the code check from the release).
struct JpegQuirks {
    // TiffImagePlugin's ImageFileDirectory_v2.load keeps the first entry of
    // a tag and skips the later ones unread, and warns "Tag data larger than
    // file" (13.0.0 on); before, it reads them all and keeps the last.
    bool directory_keeps_first_entry = false;
    bool operator==(const JpegQuirks&) const = default;
};

// The settings of Pillow's modules that the plugin's opening code reads.
struct JpegRules {
    // TiffImagePlugin is loaded, with its directory code Pillow's own: the
    // EXIF resolution and the MP index can be read here without the import
    // Pillow would do.
    bool tiff = false;
    // MpoImagePlugin is loaded, its code Pillow's own: images with several
    // MP entries, which jpeg_factory makes MPOs, can be answered.
    bool mpo = false;
    JpegQuirks quirks;
    bool operator==(const JpegRules&) const = default;
};

}  // namespace pretrain
