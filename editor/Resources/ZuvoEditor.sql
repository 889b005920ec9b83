-- The document database the editor carries and copies into the DataFolder.
CREATE TABLE tb_documents (name TEXT, modified TEXT, token TEXT, uploaded TEXT);
