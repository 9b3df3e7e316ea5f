// Version text shared by the daemon and the statistics page.
#ifndef KST_VERSION_H
#define KST_VERSION_H

extern const char* const version;
extern const char* const copyright;

// "Kestrova, version X"; built once, never freed.
const char* longVersion();

#endif
