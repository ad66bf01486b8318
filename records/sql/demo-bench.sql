-- A demo setting bench: this computer, this user as an active operator, a bench of type 3
-- served by the computer, and five meters of the model (type 10) numbered 1001 to 1005.
-- {{COMPUTER}} and {{LOGIN}} are filled in by scripts/demo-bench (or the tests) as SQL
-- string literals. The same text runs on SQL Server, PostgreSQL and SQLite.

INSERT INTO computer (name) VALUES ({{COMPUTER}});
INSERT INTO operator (login, operating) VALUES ({{LOGIN}}, 1);
INSERT INTO plant (type_id, computer_id) SELECT 3, computer_id FROM computer WHERE name = {{COMPUTER}};
INSERT INTO electrometer (number, type_id) VALUES (1001, 10);
INSERT INTO electrometer (number, type_id) VALUES (1002, 10);
INSERT INTO electrometer (number, type_id) VALUES (1003, 10);
INSERT INTO electrometer (number, type_id) VALUES (1004, 10);
INSERT INTO electrometer (number, type_id) VALUES (1005, 10);
