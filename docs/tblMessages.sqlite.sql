-- tblMessages for SQLite (through the SQLite3 ODBC driver).
CREATE TABLE tblMessages (
    RecId           INTEGER PRIMARY KEY,
    MessageType     VARCHAR(10),
    MessageText     TEXT,
    MobileNo        VARCHAR(32),
    EmailTo         VARCHAR(1000),
    EmailFrom       VARCHAR(255),
    EmailSubject    VARCHAR(255),
    EmailCC         VARCHAR(1000),
    EmailBCC        VARCHAR(1000),
    EmailAttachment VARCHAR(1000),
    IsSent          CHAR(1) DEFAULT 'N',
    ProcessStatus   VARCHAR(50),
    ProcessedDate   TIMESTAMP
);
