#!/usr/bin/python3
"""Writes a small letter as .docx: placeholders in the body, a table, the header and the
footer, one of them split across two formatting runs ("<<Na" plain, "me>>" bold).

Usage: make_letter.py OUT.docx LINE...
Each LINE becomes a body paragraph; a "|" in it starts the next run, bold and plain in turn.
"""
import sys
import zipfile
from xml.sax.saxutils import escape

W = 'xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main" ' \
    'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"'


def runs(line):
    out = []
    for n, piece in enumerate(line.split("|")):
        bold = "<w:rPr><w:b/></w:rPr>" if n % 2 else ""
        out.append('<w:r>%s<w:t xml:space="preserve">%s</w:t></w:r>' % (bold, escape(piece)))
    return "".join(out)


def para(line):
    return "<w:p>%s</w:p>" % runs(line)


def main():
    out, lines = sys.argv[1], sys.argv[2:]
    body = "".join(para(l) for l in lines)
    table = ('<w:tbl><w:tblPr><w:tblW w:w="0" w:type="auto"/></w:tblPr>'
             '<w:tblGrid><w:gridCol w:w="4000"/><w:gridCol w:w="4000"/></w:tblGrid><w:tr>'
             '<w:tc><w:tcPr><w:tcW w:w="4000" w:type="dxa"/></w:tcPr>%s</w:tc>'
             '<w:tc><w:tcPr><w:tcW w:w="4000" w:type="dxa"/></w:tcPr>%s</w:tc></w:tr></w:tbl>'
             % (para("Table <<Name>>"), para("<<City>>")))
    document = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?><w:document %s><w:body>%s%s%s'
                '<w:sectPr><w:headerReference w:type="default" r:id="rIdH"/>'
                '<w:footerReference w:type="default" r:id="rIdF"/></w:sectPr></w:body></w:document>'
                % (W, body, table, para("")))
    header = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?><w:hdr %s>%s</w:hdr>' % (W, para("Header <<Na|me>>"))
    footer = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?><w:ftr %s>%s</w:ftr>' % (W, para("Footer <<City>>"))
    ct = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
          '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
          '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
          '<Default Extension="xml" ContentType="application/xml"/>'
          '<Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/>'
          '<Override PartName="/word/header1.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.header+xml"/>'
          '<Override PartName="/word/footer1.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.footer+xml"/>'
          '</Types>')
    rels = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/>'
            '</Relationships>')
    doc_rels = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
                '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                '<Relationship Id="rIdH" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/header" Target="header1.xml"/>'
                '<Relationship Id="rIdF" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/footer" Target="footer1.xml"/>'
                '</Relationships>')
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", ct)
        z.writestr("_rels/.rels", rels)
        z.writestr("word/document.xml", document)
        z.writestr("word/_rels/document.xml.rels", doc_rels)
        z.writestr("word/header1.xml", header)
        z.writestr("word/footer1.xml", footer)
    return 0


if __name__ == "__main__":
    sys.exit(main())
