// The ORB settings kstd, kstsend and kstmon choose for themselves. Each is a
// default: it is passed to ORB_init only when the operator has not set the
// same option in the ORB's environment (ORB<name>) or its configuration file
// (the file named by OMNIORB_CONFIG or -ORBconfigFile, else
// /etc/omniORB.cfg). Options on the command line win anyway.
#ifndef KST_ORB_DEFAULTS_H
#define KST_ORB_DEFAULTS_H

#include <omniORB4/CORBA.h>

#include <vector>

struct OrbDefault {
    const char* name;  // without the "ORB" prefix, as in the configuration file
    const char* value;
};

// The daemon's: a pool of threads serves the connections (not one thread
// each), idle connections are closed after 30 seconds and a request must
// arrive whole within 10 seconds.
extern const std::vector<OrbDefault> serverOrbDefaults;
// The clients': a call that gets no answer within 10 seconds fails.
extern const std::vector<OrbDefault> clientOrbDefaults;
// The call time-out of clientOrbDefaults in seconds, for messages.
extern const int clientCallTimeoutSeconds;

// Whether the operator sets the option `name` in the environment, the
// configuration file or on the command line.
bool orbOptionSetByOperator(const char* name, int argc, char** argv);

// CORBA::ORB_init with the defaults the operator has not set.
CORBA::ORB_ptr initOrb(int& argc, char** argv, const char* orbIdentifier, const std::vector<OrbDefault>& defaults);

#endif
