// mqexport.h - symbol visibility for the toolkit and its platform layers.
//
// Every library of the project is built with hidden visibility; only what a
// header marks MQ_EXPORT is part of a library's interface.
#ifndef MQ_EXPORT_H
#define MQ_EXPORT_H

#define MQ_EXPORT __attribute__((visibility("default")))

#endif
