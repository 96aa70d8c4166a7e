// The picture capture loop of the default capture path: two threads, one
// per camera device (video ids 0 and 1), each read single pictures through
// OpenCV's V4L2 backend, label them with the camera inputs 0..3 in turn
// (three iterations each) and keep them in the rolling picture store,
// trimmed to STORAGE_LENGTH pictures per input. The loop is paced by
// pauses, not by the camera: 1.3 s after every capture attempt, 1 s for an
// iteration on an unselected input.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>

#include "capture/picture_io.h"

// Makes the picture source of a capture thread for device index `videoId`.
using PictureSourceFactory = std::unique_ptr<PictureSource> (*)(int videoId);

// Installs `factory` (nullptr restores OpenCV's V4L2 capture). Call only
// while no capture thread runs.
void setPictureSourceFactoryForTests(PictureSourceFactory factory);

extern std::atomic<pthread_t> tid_captureFromCamThread[2];
// The video id handed to each capture thread: 0 and 1.
extern int videoIDs[2];

// Starts the two capture threads (or, on the direct path, the four V4L2
// device workers 4 s apart). 0 when started, 1 when a thread could not be
// created (a failure on video 0 leaves video 1 unstarted).
int initCaptureFromCamThread();

// Capture thread body; `arg` points to the video id (null means 0). Video
// 1 starts one second after video 0.
void* doCaptureFromCamThread(void* arg);

// The capture run of one device: 0 after the loop ended normally (the exit
// flag is then up: the end of a run ends the program), -1 when the control
// channel cannot be opened.
int captureFromCam(int id);

// Free memory in bytes, as the kernel reports it.
unsigned getMemorySize();

// No threads, video ids 0 and 1, OpenCV as the picture source.
void resetCaptureLoopForTests();
