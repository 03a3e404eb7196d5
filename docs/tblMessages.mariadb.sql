-- tblMessages for MariaDB / MySQL (through MariaDB Connector/ODBC).
CREATE TABLE tblMessages (
    RecId           INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
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
    ProcessedDate   DATETIME
) CHARACTER SET utf8mb4;

-- Optional columns: a table that has them gets the feature (README, "Optional columns").
-- Remove the leading "-- " of a block to add it.
--
-- Delivery receipts: the gateway's message ids, and the state its receipts report.
-- ALTER TABLE tblMessages ADD SmscMessageId VARCHAR(255);
-- ALTER TABLE tblMessages ADD DeliveryStatus VARCHAR(20);
-- ALTER TABLE tblMessages ADD DeliveredDate DATETIME;
-- CREATE INDEX ixMessagesSmscMessageId ON tblMessages (SmscMessageId);
--
-- Scheduling and retries: each column on its own, Attempts and NextAttemptAt together.
-- ALTER TABLE tblMessages ADD SendAfter DATETIME;
-- ALTER TABLE tblMessages ADD ExpiresAt DATETIME;
-- ALTER TABLE tblMessages ADD Priority INT NOT NULL DEFAULT 0;
-- ALTER TABLE tblMessages ADD Attempts INT;
-- ALTER TABLE tblMessages ADD NextAttemptAt DATETIME;
-- CREATE INDEX ixMessagesPriority ON tblMessages (Priority, RecId);
--
-- A sender per row: the SMS's sender instead of the account name where not empty.
-- ALTER TABLE tblMessages ADD SmsSender VARCHAR(20);
--
-- Messages from phones: where this table exists, replies are stored in it (README, "Replies").
-- CREATE TABLE tblReceivedMessages (
--     RecId           INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
--     ReceivedDate    DATETIME NOT NULL,
--     SmscDate        DATETIME,
--     MobileNo        VARCHAR(32) NOT NULL,
--     Recipient       VARCHAR(32) NOT NULL,
--     MessageText     TEXT NOT NULL,
--     SmscMessageId   VARCHAR(255),
--     Parts           INT NOT NULL DEFAULT 1,
--     ProcessStatus   VARCHAR(50)
-- ) CHARACTER SET utf8mb4;
-- CREATE INDEX ixReceivedSmscMessageId ON tblReceivedMessages (SmscMessageId);
-- CREATE INDEX ixReceivedMobileNo ON tblReceivedMessages (MobileNo, ReceivedDate);
