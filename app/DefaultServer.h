#ifndef UPDATER_DEFAULTSERVER_H
#define UPDATER_DEFAULTSERVER_H

// The update server used when the command line names none. The host lies in the reserved
// ".invalid" domain, which never resolves: a real server must always be named with -u.
#define UPDATER_DEFAULT_SERVER_HOST "updates.axonforge.invalid"
#define UPDATER_DEFAULT_SERVER_URL "http://" UPDATER_DEFAULT_SERVER_HOST "/cgi/u"

#endif
