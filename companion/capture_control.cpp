// capture_control: the companion side of the daemon, for the people who
// integrate and service the device. It writes the control record as the
// companion process does, through the record's own writer-side operations,
// and reads the notification queue.
//
//   capture_control alert on|off
//   capture_control exit [on|off]
//   capture_control user-video [VALUE]     a new user-video command
//   capture_control cams VALUE             the camera-set value
//   capture_control stream MODE            a new streaming request, MODE 0..9
//                                          (9 stream mode, 1..8 set mode, 0 off)
//   capture_control show                   the record's fields
//   capture_control notifications          the URL of every queued record
//
// Paths follow the emulated board root (CAPTURE_MODULE_ROOT) like the daemon's.
#include "companion/companion.h"

int main(int argc, char** argv) { return companionMain(argc, argv); }
