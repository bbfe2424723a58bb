#pragma once
// The library's one word to CZMQ about the process's signals.
//
// CZMQ installs a SIGINT and SIGTERM handler of its own when the process
// makes its first socket: the handler only sets zsys_interrupted, and it
// displaces whatever the program had (its own handlers, an ignored SIGINT,
// the default actions) for the rest of the process's life. A program that
// opens a link would then no longer end on SIGTERM, nor run its own handler
// for it. So, before the library first touches CZMQ, it tells CZMQ to
// install nothing and puts back what CZMQ may have installed already: every
// signal keeps the effect the program gave it, link or no link. A program
// that wants CZMQ's handler after all installs it itself once its links
// are open (zsys_handler_set).

// Idempotent and safe from any thread; every path of the library that makes
// a socket, an actor, or sets CZMQ's interface calls it first.
void aZmq_LeaveSignalsAlone();
