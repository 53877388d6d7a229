#ifndef UPDATER_DEFAULTSERVER_H
#define UPDATER_DEFAULTSERVER_H

// The update server used when the command line names none. The host lies in the reserved
// ".invalid" domain, which never resolves: a real server must always be named with -u.
#define UPDATER_DEFAULT_SERVER_HOST "updates.axonforge.invalid"
// The request path of every update server; -u HOST[:PORT] gets it appended.
#define UPDATER_SERVER_PATH "/cgi/u"
#define UPDATER_DEFAULT_SERVER_URL "http://" UPDATER_DEFAULT_SERVER_HOST UPDATER_SERVER_PATH

#endif
