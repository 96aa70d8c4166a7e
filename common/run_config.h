// The run configuration: process-wide settings taken from the command line
// (app/options.h) and DIP switches 5 and 6 by main before the first worker
// thread starts, and only read afterwards.
#pragma once

#include <cstdint>
#include <string>

extern std::uint32_t STORAGE_LENGTH;       // rolling store length (pictures, and seconds of life)
extern int g_FrameRate;                    // camera frame rate, 0 = not set
extern int nPreSaveTime;                   // clip length in seconds
extern int frame_count;                    // frames per capture loop / clip
extern int USER_VIDEO_FRAMES;              // frames per user clip
extern char szBitrate[20];                 // converter bit-rate option
extern char szFPS[20];                     // converter output rate option
extern char szMP4Size[20];                 // converter output size option
extern int g_nDevWidth;                    // manual device format (force_format2 50)
extern int g_nDevHeight;
extern std::uint32_t g_nPixelFormat;       // V4L2 four-character code
extern int g_nField;                       // V4L2 field order
extern int force_format2;                  // device format preset of the direct path
extern int force_format;                   // format forced on the default path
extern int g_Numerator;                    // frame interval numerator
extern std::uint64_t g_std;                // V4L2 standard mask (recorded only)
extern int init_only;                      // "-io"
extern int bControlInput;                  // "-ci0/1/2" (logged only)
extern int g_bRandomVideos;                // "-rv"
extern int bMemoryStore;                   // "-ms" / "-ds"
extern int bTurnOnAllCams;                 // "-allcamson"
extern int bOneByOne;                      // "-1by1"
extern int g_bDebugJPEGStreamingFiles;     // "-debugjpeg"
extern int g_bUSB;                         // direct V4L2 path ("-usb", DIP switch 6)
extern int g_bCopy;                        // "-copy"
extern char SOCKET_ADDR[100];              // streaming server address
extern std::uint8_t bNormTest;             // "-normtest"
extern std::uint8_t bNoresize;             // "-noresize"
// Base directory of the working files: "/home/Tarvisel", or "/tmp/normtest"
// with "-normtest", as this process uses it (under the emulated board root
// when there is one).
extern std::string LBASE_PATH;

// Every setting to its process-start value; the first thing main does.
void resetRunConfig();

// main's start values (step 2 of start-up): empty bit-rate and size options,
// no norm test, no frame rate, numerator 1, output rate "-r 30000/1001".
void storeStartValues();

// With a frame rate set, frame_count and USER_VIDEO_FRAMES become
// g_FrameRate x nPreSaveTime; returns whether they changed.
bool computeFrameCounts();
