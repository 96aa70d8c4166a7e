// The connection to the streaming server: at most one TCP connection at a
// time, to SOCKET_ADDR on port 8080, opened on demand, with a bounded send
// and, in the set mode, a disconnect watchdog that ends a connection on
// which no exchange has completed for about ten seconds.
//
// Who does what:
//  - the streaming thread connects, sends, receives and disconnects; these
//    calls are made by that one thread only;
//  - the watchdog thread (one per set-mode connection) only ever shuts the
//    socket down, which makes a blocked receive or send return at once; it
//    never closes the descriptor. The streaming thread owns the descriptor
//    and closes it exactly once, on its disconnect. A shutdown and the
//    removal of the watchdog take the same lock, so a watchdog never shuts
//    down a descriptor number after the streaming thread has let it go;
//  - the SIGPIPE handler only sets a flag (the one thing safe to do in
//    signal context); the streaming thread turns that flag into a
//    disconnect on its next pass. Sends use MSG_NOSIGNAL, so a broken
//    connection normally gives an error rather than the signal;
//  - the monitoring thread reads isConnectd.
//
// A descriptor value of 0 counts as no socket everywhere here. A socket that
// the system numbers 0 (standard input closed under a supervisor) is moved
// to a higher number, so that such a process can still stream.
#pragma once

#include <pthread.h>

#include <atomic>

extern std::atomic<int> sockfd;            // the connection's socket; 0 = none
extern std::atomic<int> isConnectd;        // 1 while connected
extern std::atomic<int> nTempSockfd;       // socket the watchdog guards; 0 = none
extern std::atomic<pthread_t> tid_recv;    // the watchdog thread; 0 = none
extern std::atomic<int> nReciveWaitTimer;  // 100 ms ticks since the last completed exchange
extern std::atomic<int> nRecieved;         // reply bytes received on this connection

// Limits of the connection. The defaults are the device's; tests shorten
// the real-time ones. Set only while no streaming thread runs.
struct StreamingTimings {
    int selectWaitMillis = 5000;   // wait for the socket before a send
    int sendStallMillis = 10000;   // a send that makes no progress this long fails
    int replyWaitMillis = 10000;   // longest wait for a reply, also without a watchdog
    int watchdogTicks = 100;       // ticks without an exchange before the watchdog ends it
    int watchdogTickMillis = 100;  // of the program's clock (common/clock.h)
};
void setStreamingTimingsForTests(const StreamingTimings& t);
StreamingTimings streamingTimings();

// Connects to SOCKET_ADDR:8080 (blocking). 1 when connected, 0 on failure.
// Starts the watchdog unless the streaming mode is 9.
int connect_socket();
// 1 when a connection is established (already, or now), 0 when connecting failed.
int openSocketsConnection();
// Waits at most selectWaitMillis for the socket, then sends all `n` bytes
// without raising SIGPIPE. Returns the bytes accepted (> 0; fewer than `n`
// when the peer stopped taking data for sendStallMillis or the connection
// broke part way), 0 when the exit flag is up (nothing sent), -1 on failure.
// The last argument is not used.
int my_send(int& sock, const void* data, int n, int unused);
// One receive of at most `capacity` bytes on the connection. Returns the
// bytes received, 0 when the peer closed or the watchdog ended the
// connection, -1 on an error, on the exit flag, or after replyWaitMillis.
int receiveStreamingReply(char* buffer, int capacity);
// Ends the connection, if any, and removes the watchdog.
void disconnectStreamingServer();

// (Re)starts the watchdog for `sock`.
void initDiconnectThread(int sock);
// Stops the watchdog and forgets it; from its return on, the watchdog
// touches no socket.
void removeDiconnectThread();
// The watchdog thread body (the argument is its guard, owned by the thread).
void* doDisconnectAfterAWhileThread(void* arg);
// Watchdog threads still running (they end within one tick of removal).
int disconnectWatchdogsRunning();

// The SIGPIPE handler: records the signal, nothing else.
void myMethod(int);
// Installs myMethod for SIGPIPE.
void installSigpipeHandler();
// On the streaming thread: when a SIGPIPE arrived since the last call, logs
// "SIGPIPE Received!", disconnects and returns true.
bool handlePendingSigpipe();

// Closes a socket left open (stopping its watchdog), every word back to 0
// and the default timings.
void resetConnectionForTests();
