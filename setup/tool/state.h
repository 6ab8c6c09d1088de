/* Program state of the setup tool, exported under its historic names. */
#ifndef QUILL_STATE_H
#define QUILL_STATE_H

#include "pdksa.h"

#ifdef __cplusplus
extern "C" {
#endif

extern DDCContextHandle AdminContext;
extern char NELocalTree[514];
extern char NEServerDN[257];
extern char InstallHost[257];
extern char InstallContext[257];
extern char MsgServerName[257];
extern char X500Name[257];
extern char AdminPW[257];
extern char AdminName[257];
extern char OfficialName[257];
extern char DNSServer1[257];
extern char DNSServer2[257];
extern unsigned char DoSMTP, DoPOP, DoIMAP, DoLattice, DoForward, DoDayward, DoLDAP, DoAntiSpam,
    DoProxy;
extern unsigned long Aliasing;
extern int Exiting;
extern int ProgressLine;
extern int ccode;

#ifdef __cplusplus
}
#endif

#endif
