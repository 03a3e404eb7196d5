-- Sample rows for scripts/demo: some go out, some fail for the documented reasons.
INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo) VALUES
    (1, 'SMS', 'Hello from Korvane: your order 1042 has shipped.', '+447700900123');
INSERT INTO tblMessages (RecId, MessageType, MessageText, EmailTo, EmailFrom, EmailSubject, EmailCC, EmailBCC, EmailAttachment) VALUES
    (2, 'EMAIL', 'Dear customer, your invoice is attached.', 'Ann Example <ann@example.com>', 'billing@example.com',
     'Invoice 1042', 'accounts@example.com', 'archive@example.com', '@ATTACHMENT@');
INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo) VALUES
    (3, ' sms ', 'Привет! Text outside the GSM alphabet goes out as UCS-2.', '447700900124');
INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo) VALUES
    (4, 'SMS', 'This one has no mobile number.', '   ');
INSERT INTO tblMessages (RecId, MessageType, MessageText, EmailTo, EmailFrom, EmailSubject) VALUES
    (5, 'Email', 'No sender address here.', 'bob@example.com', NULL, 'Missing sender');
INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo) VALUES
    (6, 'SMS', 'The gateway refuses numbers with 999 in them.', '+1999555000');
INSERT INTO tblMessages (RecId, MessageType, MessageText) VALUES
    (7, 'FAX', 'Korvane knows SMS and EMAIL only.');
INSERT INTO tblMessages (RecId, MessageType, MessageText, EmailTo, EmailFrom, EmailSubject) VALUES
    (8, 'EMAIL', 'The mail sink refuses this recipient.', 'reject@example.com', 'billing@example.com', 'Refused');
INSERT INTO tblMessages (RecId, MessageType, MessageText, EmailTo, EmailFrom, EmailSubject, EmailAttachment) VALUES
    (9, 'EMAIL', 'The attachment is missing.', 'bob@example.com', 'billing@example.com', 'Missing file', '/nonexistent/report.pdf');
INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo) VALUES
    (10, 'SMS', '', '+447700900125');
