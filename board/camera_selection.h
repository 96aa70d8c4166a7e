// Which camera inputs take part: the four camera switches (or "-allcamson"),
// the one-by-one walk of "-1by1", and the camera-set check that ends the
// process when the companion configures another set of cameras.
#pragma once

#include <atomic>
#include <cstdint>

// Per input 0..3: non-zero = selected (255 after a failed switch read).
extern std::atomic<std::uint8_t> bInputs[4];
// One-by-one mode: the input that may record now.
extern std::atomic<std::uint8_t> b1By1Inputs[4];
// Recordings still to make in the current one-by-one walk.
extern std::atomic<int> n1By1RecordingsLeft;
// Camera-set value seen at start: the control record's 64-bit field, whole.
// The value is an opaque identifier of the companion's: any 64-bit value
// may stand there, and a copy cut to 32 bits would differ from the field
// for every value of 2^31 or more, ending every start at once with
// "Cams changed".
extern std::atomic<long long> g_nCAMs;

// Number of selected inputs (non-zero flags of bInputs).
int selectedInputCount();

// True when `input` is one of 0..3 and its flag in bInputs is set; false
// for any other number (device 4 has no switch).
bool inputSelected(int input);

// Refreshes bInputs from the switches; 1 if any flag changed, else 0.
int readInputsDIPState();

// Advances the one-by-one state: reason 0 at start-up, 1 after each
// finished recording cycle of a device. Calls are serialised: concurrent
// callers each consume one recording of the walk and move the turn once.
void step1By1(int reason);

// Compares the camera-set value of the control record with g_nCAMs; a
// change raises the exit flag so that the process restarts with the new set.
void checkCams();

// Clears bInputs and b1By1Inputs (start-up).
void clearInputSelection();

// No input selected, no one-by-one state, no camera set.
void resetCameraSelectionForTests();
