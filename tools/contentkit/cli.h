// The contentkit command line: parses the arguments, reads and writes the
// files, and runs the stages below it (writers, info readers, model
// converters, the Tiled import, the demo). main() only forwards to
// runContentkit, so tests can also run a command in-process.
//
//   contentkit info FILE...
//   contentkit dds  (IN.png|IN.tga|--pattern NAME) OUT.dds --format dxt1|dxt3|dxt5 [--no-mips]
//   contentkit tga  (IN|--pattern NAME) OUT.tga [--rle] [--depth 24|32] [--bottom-left]
//   contentkit bmp  (IN|--pattern NAME) OUT.bmp [--no-white-key]
//   contentkit font [--face regular|bold|PATH.ttf] --size N OUT.dat
//   contentkit model IN.obj|IN.gltf|IN.glb OUT.rmdl --texture ID|MATERIAL=ID... [--scale S]
//   contentkit import-tiled MAP.tmx|MAP.tmj GAME_DIR NAME [--lightmap-size N]
//   contentkit build-demo DIR [--gdf]
//   pattern options: --size WxH --seed N --frame N --frames N
//
// --help and --version answer before anything else. Exit code 0 on success,
// 1 when a file cannot be read, written or is malformed, 2 on a malformed
// command line. Messages go to stderr, reports to stdout; long work
// (build-demo) keeps a progress line on stderr when it is a terminal.
// Single-threaded.
#pragma once

namespace contentkit {

int runContentkit(int argc, char** argv);

}  // namespace contentkit
