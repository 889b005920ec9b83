#!/usr/bin/python3
"""Looks into the test's LibreOffice over its UNO pipe, as the user would see it.

Usage (Debian's /usr/bin/python3 with python3-uno):
  office_probe.py PIPE documents            the URLs of the open documents, one a line
  office_probe.py PIPE text PATH            the document's text as JSON: body paragraphs,
                                            table cells, header and footer texts
  office_probe.py PIPE select PATH TEXT     selects the first TEXT of the body in the view
  office_probe.py PIPE terminate            ends LibreOffice
"""
import json
import sys

import uno
from com.sun.star.connection import NoConnectException


def connect(pipe):
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
    ctx = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
    return ctx.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", ctx)


def find(desktop, path):
    url = uno.systemPathToFileUrl(path)
    for c in desktop.Components:
        if hasattr(c, "getURL") and c.getURL() == url:
            return c
    raise SystemExit("not open: " + path)


def text_of(doc):
    body, tables, headers, footers = [], [], [], []
    for part in doc.Text.createEnumeration():
        if part.supportsService("com.sun.star.text.Paragraph"):
            body.append(part.getString())
    for t in doc.TextTables:
        tables.append([t.getCellByName(n).getString() for n in t.getCellNames()])
    for style in doc.StyleFamilies.getByName("PageStyles"):
        if style.HeaderIsOn and style.HeaderText.getString():
            headers.append(style.HeaderText.getString())
        if style.FooterIsOn and style.FooterText.getString():
            footers.append(style.FooterText.getString())
    return {"body": body, "tables": tables, "headers": headers, "footers": footers}


def main():
    pipe, cmd, rest = sys.argv[1], sys.argv[2], sys.argv[3:]
    try:
        desktop = connect(pipe)
    except NoConnectException:
        return 3
    if cmd == "documents":
        for c in desktop.Components:
            if hasattr(c, "getURL"):
                print(uno.fileUrlToSystemPath(c.getURL()) if c.getURL() else "")
    elif cmd == "text":
        print(json.dumps(text_of(find(desktop, rest[0])), ensure_ascii=False))
    elif cmd == "select":
        doc = find(desktop, rest[0])
        search = doc.createSearchDescriptor()
        search.SearchString = rest[1]
        found = doc.findFirst(search)
        if found is None:
            return 1
        doc.CurrentController.select(found)
    elif cmd == "terminate":
        try:
            desktop.terminate()
        except Exception:
            pass  # the connection goes with it
    else:
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
