-- tblMessages for Microsoft SQL Server (through Microsoft ODBC Driver for SQL Server).
CREATE TABLE tblMessages (
    RecId           INT IDENTITY(1,1) NOT NULL PRIMARY KEY,
    MessageType     NVARCHAR(10),
    MessageText     NVARCHAR(MAX),
    MobileNo        NVARCHAR(32),
    EmailTo         NVARCHAR(1000),
    EmailFrom       NVARCHAR(255),
    EmailSubject    NVARCHAR(255),
    EmailCC         NVARCHAR(1000),
    EmailBCC        NVARCHAR(1000),
    EmailAttachment NVARCHAR(1000),
    IsSent          NCHAR(1) DEFAULT 'N',
    ProcessStatus   NVARCHAR(50),
    ProcessedDate   DATETIME2(0)
);

-- Optional columns: a table that has them gets the feature (README, "Optional columns").
-- Remove the leading "-- " of a block to add it.
--
-- Delivery receipts: the gateway's message ids, and the state its receipts report.
-- ALTER TABLE tblMessages ADD SmscMessageId NVARCHAR(255);
-- ALTER TABLE tblMessages ADD DeliveryStatus NVARCHAR(20);
-- ALTER TABLE tblMessages ADD DeliveredDate DATETIME2(0);
-- CREATE INDEX ixMessagesSmscMessageId ON tblMessages (SmscMessageId);
--
-- Scheduling and retries: each column on its own, Attempts and NextAttemptAt together.
-- ALTER TABLE tblMessages ADD SendAfter DATETIME2(0);
-- ALTER TABLE tblMessages ADD ExpiresAt DATETIME2(0);
-- ALTER TABLE tblMessages ADD Priority INT NOT NULL DEFAULT 0;
-- ALTER TABLE tblMessages ADD Attempts INT;
-- ALTER TABLE tblMessages ADD NextAttemptAt DATETIME2(0);
-- CREATE INDEX ixMessagesPriority ON tblMessages (Priority, RecId);
--
-- A sender per row: the SMS's sender instead of the account name where not empty.
-- ALTER TABLE tblMessages ADD SmsSender VARCHAR(20);
--
-- Messages from phones: where this table exists, replies are stored in it (README, "Replies").
-- CREATE TABLE tblReceivedMessages (
--     RecId           INT IDENTITY(1,1) NOT NULL PRIMARY KEY,
--     ReceivedDate    DATETIME2(0) NOT NULL,
--     SmscDate        DATETIME2(0),
--     MobileNo        NVARCHAR(32) NOT NULL,
--     Recipient       NVARCHAR(32) NOT NULL,
--     MessageText     NVARCHAR(MAX) NOT NULL,
--     SmscMessageId   NVARCHAR(255),
--     Parts           INT NOT NULL DEFAULT 1,
--     ProcessStatus   NVARCHAR(50)
-- );
-- CREATE INDEX ixReceivedSmscMessageId ON tblReceivedMessages (SmscMessageId);
-- CREATE INDEX ixReceivedMobileNo ON tblReceivedMessages (MobileNo, ReceivedDate);
