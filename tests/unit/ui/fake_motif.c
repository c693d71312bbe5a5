/* A stand-in for the Motif library that only has to be found: it exports the names of the
 * entry points the loader resolves, never to be called. Built once complete and once without
 * XtScreenOfObject, like an old toolkit that lacks it. */
#define ENTRY(name) \
  void name(void);  \
  void name(void) {}

ENTRY(XCloseDisplay)
ENTRY(XOpenDisplay)
ENTRY(XRaiseWindow)
ENTRY(XSetErrorHandler)
ENTRY(XSetIOErrorHandler)
ENTRY(XSetLocaleModifiers)
ENTRY(XSupportsLocale)
ENTRY(XmCreateErrorDialog)
ENTRY(XmCreateInformationDialog)
ENTRY(XmCreateTemplateDialog)
ENTRY(XmMessageBoxGetChild)
ENTRY(XmStringCreateLtoR)
ENTRY(XmStringFree)
ENTRY(XtAppNextEvent)
ENTRY(XtAppPending)
ENTRY(XtAppSetErrorHandler)
ENTRY(XtAppSetWarningHandler)
ENTRY(XtDestroyWidget)
ENTRY(XtDispatchEvent)
ENTRY(XtGetValues)
ENTRY(XtIsManaged)
ENTRY(XtManageChild)
ENTRY(XtRealizeWidget)
#ifndef FAKE_MOTIF_WITHOUT_SCREEN_OF_OBJECT
ENTRY(XtScreenOfObject)
#endif
ENTRY(XtUnmanageChild)
ENTRY(XtVaAppInitialize)
ENTRY(XtVaSetValues)
ENTRY(XtWindowOfObject)
ENTRY(XCreateFontSet)
ENTRY(XFreeFontSet)
ENTRY(XFreeStringList)
ENTRY(XmFontListEntryCreate)
ENTRY(XmFontListAppendEntry)
ENTRY(XmFontListEntryFree)
